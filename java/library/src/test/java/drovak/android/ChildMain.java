package drovak.android;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/** Scenarios that ProcessTest runs in a JVM of their own. */
public final class ChildMain {

    private ChildMain() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "stop-mid-sleep": {
                CountDownLatch tapped = new CountDownLatch(1);
                Tapper tapper = new Tapper(tapped::countDown);
                tapper.setBeatList(new double[] {0, 0.01, 60});
                tapper.startTapper();
                tapped.await(5, TimeUnit.SECONDS);
                Thread.sleep(20);
                tapper.stopTapper();
                System.out.println("stopped");
                break;
            }
            case "return-after-start": {
                Tapper tapper = new Tapper(() -> System.out.println("tap"));
                tapper.setBeatList(new double[] {0, 0.5, 0.6});
                tapper.startTapper();
                System.out.println("main returned");
                break;
            }
            case "exit-from-tap-hook-stops":
            case "exit-from-tap-hook-closes": {
                boolean close = args[0].endsWith("closes");
                Tapper tapper = new Tapper() {
                    int taps;

                    @Override
                    public void tap() {
                        if (++taps == 3) {
                            System.exit(0);
                        }
                    }
                };
                Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                    if (close) {
                        tapper.close();
                    } else {
                        tapper.stopTapper();
                    }
                    System.out.println("hook stopped the tapper");
                }));
                tapper.setBeatList(new double[] {0, 0.05, 0.1, 0.15, 0.2, 10});
                tapper.startTapper();
                break;
            }
            case "exit-while-tap-is-slow": {
                CountDownLatch inTap = new CountDownLatch(1);
                AtomicBoolean tapReturned = new AtomicBoolean();
                Tapper tapper = new Tapper(() -> {
                    inTap.countDown();
                    sleep(400);
                    tapReturned.set(true);
                });
                Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                    tapper.stopTapper();
                    System.out.println("tap had returned when the stop did: " + tapReturned.get());
                }));
                tapper.setBeatList(new double[] {0, 0, 10});
                tapper.startTapper();
                inTap.await(5, TimeUnit.SECONDS);
                System.exit(0);
                break;
            }
            case "uncaught": {
                // The first exception makes the handler itself throw; tapping goes on.
                AtomicInteger handled = new AtomicInteger();
                Thread.setDefaultUncaughtExceptionHandler((thread, e) -> {
                    if (handled.getAndIncrement() == 0) {
                        throw new IllegalStateException("the handler threw");
                    }
                    System.out.println("handler got \"" + e.getMessage() + "\" from " + thread.getName()
                            + " in group " + thread.getThreadGroup().getName());
                });
                CountDownLatch taps = new CountDownLatch(2);
                Tapper tapper = new Tapper(() -> {
                    taps.countDown();
                    throw new IllegalArgumentException("thrown from tap");
                });
                tapper.setBeatList(new double[] {0, 0, 0.05});
                tapper.startTapper();
                taps.await(5, TimeUnit.SECONDS);
                tapper.stopTapper();
                break;
            }
            case "loaded-from":
                new Tapper();
                if (NativeLibrary.windows()) {
                    System.out.println("loaded " + NativeLibrary.loadedFile);
                    break;
                }
                // Which file the library was mapped from.
                for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
                    if (line.contains("libtembrix")) {
                        System.out.println(line);
                        break;
                    }
                }
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
