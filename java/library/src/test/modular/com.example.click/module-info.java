/** A modular application that taps a short rhythm with the tembrix module. */
module com.example.click {
    requires drovak.tembrix;
}
