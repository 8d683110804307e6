package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import java.awt.image.BufferedImage;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import javax.imageio.ImageIO;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class CdfChartTest {

    @BeforeAll
    static void headless() {
        System.setProperty("java.awt.headless", "true");
    }

    @Test
    void writesAReadablePngWithOnePanelPerSchedule(@TempDir Path dir) throws Exception {
        Map<String, long[]> jitter = new LinkedHashMap<>();
        jitter.put("fast", new long[] {0, 500, 2_000, 9_000});
        jitter.put("slow", new long[] {0, 800_000, 1_900_000});
        jitter.put("empty", new long[0]);
        Path file = dir.resolve("sub").resolve("cdf.png");
        CdfChart.write(file, "title", List.of(new CdfChart.Panel("a", jitter), new CdfChart.Panel("b", jitter)));
        BufferedImage image = ImageIO.read(Files.newInputStream(file));
        assertNotNull(image, "a PNG that ImageIO reads back");
        assertEquals(2 * 640, image.getWidth());
    }

    @Test
    void axisLabelsUseTheLargestFittingUnit() {
        assertEquals("1 \u00b5s", CdfChart.microsLabel(1));
        assertEquals("100 \u00b5s", CdfChart.microsLabel(100));
        assertEquals("1 ms", CdfChart.microsLabel(1_000));
        assertEquals("10 ms", CdfChart.microsLabel(10_000));
        assertEquals("1 s", CdfChart.microsLabel(1_000_000));
    }
}
