package drovak.android;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/** Scenarios that ProcessTest runs in a JVM of their own, against the caller's own minimal Tapper class. */
public final class OwnTapperMain {

    static volatile Runnable onTap = () -> { };

    private OwnTapperMain() {}

    public static void main(String[] args) throws Exception {
        Tapper tapper = new Tapper();
        switch (args[0]) {
            case "taps": {
                // Taps, the tapper thread's context class loader, and exceptions to the default handler.
                Thread.setDefaultUncaughtExceptionHandler((thread, e) -> System.out.println("handled " + e.getMessage()));
                CountDownLatch taps = new CountDownLatch(3);
                onTap = () -> {
                    taps.countDown();
                    if (taps.getCount() == 2) {
                        System.out.println("context loader is the Tapper's: "
                                + (Thread.currentThread().getContextClassLoader() == Tapper.class.getClassLoader()));
                    }
                    if (taps.getCount() == 0) {
                        throw new IllegalStateException("thrown from tap");
                    }
                };
                tapper.setBeatList(new double[] {0, 0, 0.02, 0.04});
                tapper.startTapper();
                taps.await(5, TimeUnit.SECONDS);
                Thread.sleep(50);
                tapper.stopTapper();
                System.out.println("done");
                break;
            }
            case "exit-from-tap-hook-stops": {
                int[] taps = {0};
                onTap = () -> {
                    if (++taps[0] == 3) {
                        System.exit(0);
                    }
                };
                Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                    tapper.stopTapper();
                    System.out.println("hook stopped the tapper");
                }));
                tapper.setBeatList(new double[] {0, 0.05, 0.1, 0.15, 0.2, 10});
                tapper.startTapper();
                break;
            }
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }
}
