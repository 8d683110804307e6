package drovak.android;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

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
                tapper.setBeatList(new double[] {0, 0.2, 0.3});
                tapper.startTapper();
                System.out.println("main returned");
                break;
            }
            case "loaded-from":
                new Tapper();
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
}
