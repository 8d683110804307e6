package drovak.tembrix.bench;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.FontMetrics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.geom.Path2D;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import javax.imageio.ImageIO;

/**
 * Draws the jitter CDF of each contender, one panel per schedule, as a PNG with {@code java.awt} (run headless).
 * The jitter axis is logarithmic, from 1 us, so that microsecond and millisecond schedulers fit on one chart;
 * jitter under 1 us is drawn at the left edge.
 */
final class CdfChart {

    private static final int PANEL_WIDTH = 640;
    private static final int HEIGHT = 520;
    private static final int TITLE_HEIGHT = 30;
    /** The height of one legend row; the legend takes as many rows as its names need to fit the width. */
    private static final int LEGEND_ROW_HEIGHT = 26;
    private static final int LEGEND_PADDING = 10;
    private static final Font LEGEND_FONT = new Font(Font.SANS_SERIF, Font.PLAIN, 13);
    private static final int SWATCH = 26;
    private static final int SWATCH_GAP = 6;
    private static final int ENTRY_GAP = 22;
    private static final int LEFT = 70;
    private static final int RIGHT = 36;
    private static final int TOP = 50;
    private static final int BOTTOM = 60;
    private static final double MIN_MICROS = 1;
    private static final Color[] COLORS = {
        new Color(0xd62728), new Color(0x1f77b4), new Color(0x2ca02c), new Color(0x9467bd),
        new Color(0x7f7f7f), new Color(0xff7f0e), new Color(0x17becf), new Color(0x8c564b),
    };

    /** One panel: a title and, per contender in legend order, its sorted jitter in nanoseconds. */
    static final class Panel {
        final String title;
        final Map<String, long[]> sortedJitter;

        Panel(String title, Map<String, long[]> sortedJitter) {
            this.title = title;
            this.sortedJitter = new LinkedHashMap<>(sortedJitter);
        }
    }

    private CdfChart() {}

    /** Writes the panels side by side to a PNG file, creating its directory if needed. */
    static void write(Path file, String title, List<Panel> panels) throws IOException {
        double maxMicros = 10;
        for (Panel panel : panels) {
            for (long[] values : panel.sortedJitter.values()) {
                if (values.length > 0) {
                    maxMicros = Math.max(maxMicros, values[values.length - 1] / 1e3);
                }
            }
        }
        double maxDecade = Math.ceil(Math.log10(maxMicros));
        int width = PANEL_WIDTH * panels.size();
        List<String> names = panels.isEmpty() ? List.of() : List.copyOf(panels.get(0).sortedJitter.keySet());
        List<List<String>> legendRows = legendRows(names, width);
        int height = TITLE_HEIGHT + HEIGHT + LEGEND_PADDING + LEGEND_ROW_HEIGHT * Math.max(1, legendRows.size());
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        try {
            g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
            g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
            g.setColor(Color.WHITE);
            g.fillRect(0, 0, width, height);
            g.setColor(Color.BLACK);
            g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 16));
            drawCentered(g, title, width / 2, 22);
            for (int i = 0; i < panels.size(); i++) {
                Graphics2D panelGraphics = (Graphics2D) g.create(i * PANEL_WIDTH, TITLE_HEIGHT, PANEL_WIDTH, HEIGHT);
                try {
                    drawPanel(panelGraphics, panels.get(i), maxDecade);
                } finally {
                    panelGraphics.dispose();
                }
            }
            drawLegend(g, legendRows, width, TITLE_HEIGHT + HEIGHT);
        } finally {
            g.dispose();
        }
        Path parent = file.toAbsolutePath().getParent();
        if (parent != null) {
            Files.createDirectories(parent);
        }
        if (!ImageIO.write(image, "png", file.toFile())) {
            throw new IOException("no PNG writer in this JDK");
        }
    }

    private static void drawPanel(Graphics2D g, Panel panel, double maxDecade) {
        int plotWidth = PANEL_WIDTH - LEFT - RIGHT;
        int plotHeight = HEIGHT - TOP - BOTTOM;
        Axis x = value -> LEFT + plotWidth * (Math.log10(Math.max(value, MIN_MICROS)) / maxDecade);
        Axis y = fraction -> TOP + plotHeight * (1 - fraction);

        g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 14));
        g.setColor(Color.BLACK);
        drawCentered(g, panel.title, LEFT + plotWidth / 2, TOP - 18);

        g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
        for (int decade = 0; decade <= maxDecade; decade++) {
            double micros = Math.pow(10, decade);
            int px = (int) Math.round(x.at(micros));
            g.setColor(new Color(0xdddddd));
            g.drawLine(px, TOP, px, TOP + plotHeight);
            for (int k = 2; k < 10 && decade < maxDecade; k++) {
                int minor = (int) Math.round(x.at(micros * k));
                g.setColor(new Color(0xf0f0f0));
                g.drawLine(minor, TOP, minor, TOP + plotHeight);
            }
            g.setColor(Color.BLACK);
            g.drawLine(px, TOP + plotHeight, px, TOP + plotHeight + 5);
            drawCentered(g, microsLabel(micros), px, TOP + plotHeight + 20);
        }
        for (int tenth = 0; tenth <= 10; tenth += 2) {
            int py = (int) Math.round(y.at(tenth / 10.0));
            g.setColor(new Color(0xdddddd));
            g.drawLine(LEFT, py, LEFT + plotWidth, py);
            g.setColor(Color.BLACK);
            g.drawLine(LEFT - 5, py, LEFT, py);
            String label = String.format("%.1f", tenth / 10.0);
            g.drawString(label, LEFT - 8 - g.getFontMetrics().stringWidth(label), py + 4);
        }
        g.setColor(Color.BLACK);
        g.drawRect(LEFT, TOP, plotWidth, plotHeight);
        drawCentered(g, "jitter: lateness minus the run's minimum (log scale; under 1 \u00b5s at the left edge)",
                LEFT + plotWidth / 2,
                TOP + plotHeight + 42);
        Graphics2D rotated = (Graphics2D) g.create();
        rotated.rotate(-Math.PI / 2);
        drawCentered(rotated, "fraction of beats at or below", -(TOP + plotHeight / 2), 20);
        rotated.dispose();

        g.setStroke(new BasicStroke(2f));
        int line = 0;
        for (Map.Entry<String, long[]> entry : panel.sortedJitter.entrySet()) {
            g.setColor(COLORS[line % COLORS.length]);
            g.draw(cdfPath(entry.getValue(), x, y));
            line++;
        }
    }

    /** The empirical CDF as a staircase: a rise of 1/n at each value. */
    private static Path2D cdfPath(long[] sorted, Axis x, Axis y) {
        Path2D path = new Path2D.Double();
        int n = sorted.length;
        if (n == 0) {
            return path;
        }
        path.moveTo(x.at(sorted[0] / 1e3), y.at(0));
        for (int i = 0; i < n; i++) {
            double px = x.at(sorted[i] / 1e3);
            path.lineTo(px, y.at((double) i / n));
            path.lineTo(px, y.at((double) (i + 1) / n));
        }
        return path;
    }

    /** The legend's names in rows that each fit the width, in the order of the lines. */
    private static List<List<String>> legendRows(List<String> names, int width) {
        BufferedImage scratch = new BufferedImage(1, 1, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = scratch.createGraphics();
        try {
            FontMetrics metrics = g.getFontMetrics(LEGEND_FONT);
            List<List<String>> rows = new ArrayList<>();
            List<String> row = new ArrayList<>();
            int used = 0;
            for (String name : names) {
                int entry = entryWidth(metrics, name);
                if (!row.isEmpty() && used + entry - ENTRY_GAP > width - 20) {
                    rows.add(row);
                    row = new ArrayList<>();
                    used = 0;
                }
                row.add(name);
                used += entry;
            }
            if (!row.isEmpty()) {
                rows.add(row);
            }
            return rows;
        } finally {
            g.dispose();
        }
    }

    private static int entryWidth(FontMetrics metrics, String name) {
        return SWATCH + SWATCH_GAP + metrics.stringWidth(name) + ENTRY_GAP;
    }

    /** The legend under all panels, each row centred, in the order and colours of the lines. */
    private static void drawLegend(Graphics2D g, List<List<String>> rows, int width, int top) {
        g.setFont(LEGEND_FONT);
        FontMetrics metrics = g.getFontMetrics();
        int line = 0;
        for (int r = 0; r < rows.size(); r++) {
            List<String> row = rows.get(r);
            int total = 0;
            for (String name : row) {
                total += entryWidth(metrics, name);
            }
            int x = Math.max(10, (width - total + ENTRY_GAP) / 2);
            int baseline = top + LEGEND_PADDING / 2 + r * LEGEND_ROW_HEIGHT + LEGEND_ROW_HEIGHT / 2
                    + metrics.getAscent() / 2 - 2;
            for (String name : row) {
                g.setColor(COLORS[line % COLORS.length]);
                g.setStroke(new BasicStroke(3f));
                int swatchY = baseline - metrics.getAscent() / 2 + 1;
                g.drawLine(x, swatchY, x + SWATCH, swatchY);
                g.setColor(Color.BLACK);
                g.drawString(name, x + SWATCH + SWATCH_GAP, baseline);
                x += entryWidth(metrics, name);
                line++;
            }
        }
    }

    static String microsLabel(double micros) {
        if (micros >= 1e6) {
            return Math.round(micros / 1e6) + " s";
        }
        if (micros >= 1e3) {
            return Math.round(micros / 1e3) + " ms";
        }
        return Math.round(micros) + " \u00b5s";
    }

    private static void drawCentered(Graphics2D g, String text, int centerX, int baseline) {
        g.drawString(text, centerX - g.getFontMetrics().stringWidth(text) / 2, baseline);
    }

    /** Maps a data value to a pixel coordinate. */
    private interface Axis {
        double at(double value);
    }
}
