package drovak.android;

/**
 * A caller's own Tapper class, as small as the library allows: the three natives and tap(), nothing else. It
 * loads the library named by -Dtembrix.test.library.
 */
public class Tapper {

    static {
        System.load(System.getProperty("tembrix.test.library"));
    }

    public native void setBeatList(double[] beats);

    public native void startTapper();

    public native void stopTapper();

    public void tap() {
        OwnTapperMain.onTap.run();
    }
}
