/**
 * Taps out rhythms: a {@link drovak.android.Tapper} hands a beat list to a native thread, which calls its
 * {@code tap()} at each beat time.
 *
 * <p>The module carries its native libraries and loads the one for this platform, from the jar or from a runtime
 * image that {@code jlink} or {@code jpackage} made. On JDK 24 and later allow it native access, or the JDK warns
 * when it loads: {@code java --enable-native-access=drovak.tembrix} on the module path,
 * {@code jlink --add-options=--enable-native-access=drovak.tembrix} for an image, and
 * {@code jpackage --java-options --enable-native-access=drovak.tembrix} for an application package.
 */
module drovak.tembrix {
    exports drovak.android;
}
