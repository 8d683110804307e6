package drovak.tembrix;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Arrays;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;

/**
 * Writes a click track: a 16-bit mono PCM WAV file with a short click at each given time, so that the timing of
 * a run can be heard. Samples are generated as the file is written, so a long track needs little memory.
 */
final class ClickTrack {

    static final int SAMPLE_RATE = 44_100;
    /** Length of one click: a decaying tone that starts at full amplitude. */
    static final long CLICK_NANOS = 3_000_000L;
    static final int CLICK_SAMPLES = (int) (CLICK_NANOS * SAMPLE_RATE / 1_000_000_000L);
    /** Silence after the last click. */
    static final long TAIL_NANOS = 250_000_000L;
    /** The longest track written: WAV sizes are 32-bit, which allows some 13.5 hours at this rate. */
    static final double MAX_SECONDS = 12 * 3600;

    private static final long NANOS_PER_SECOND = 1_000_000_000L;
    private static final double CLICK_HZ = 2_500;
    private static final double CLICK_DECAY_SECONDS = 0.001;
    private static final double CLICK_AMPLITUDE = 0.8 * Short.MAX_VALUE;
    private static final short[] CLICK = click();

    private ClickTrack() {}

    private static short[] click() {
        short[] click = new short[CLICK_SAMPLES];
        for (int n = 0; n < click.length; n++) {
            double t = (double) n / SAMPLE_RATE;
            click[n] = (short) Math.round(CLICK_AMPLITUDE * Math.cos(2 * Math.PI * CLICK_HZ * t)
                    * Math.exp(-t / CLICK_DECAY_SECONDS));
        }
        return click;
    }

    /** The sample at which a click at this time starts: the nearest one. */
    static long sampleOffset(long nanos) {
        return (Math.max(nanos, 0) * SAMPLE_RATE + NANOS_PER_SECOND / 2) / NANOS_PER_SECOND;
    }

    /**
     * Writes the track. The stream is flushed, not closed.
     *
     * @param clickNanos the click times in nanoseconds from the start of the track, in any order
     * @throws IOException if the stream fails, or the track would be longer than {@link #MAX_SECONDS}
     */
    static void write(long[] clickNanos, OutputStream stream) throws IOException {
        long[] starts = new long[clickNanos.length];
        for (int i = 0; i < starts.length; i++) {
            starts[i] = sampleOffset(clickNanos[i]);
        }
        Arrays.sort(starts);
        long end = starts.length > 0 ? starts[starts.length - 1] + CLICK_SAMPLES : 0;
        long frames = end + sampleOffset(TAIL_NANOS);
        if (frames > MAX_SECONDS * SAMPLE_RATE) {
            throw new IOException("a click track longer than " + (long) MAX_SECONDS + " s does not fit a WAV file");
        }
        AudioFormat format = new AudioFormat(SAMPLE_RATE, 16, 1, true, false);
        try (AudioInputStream audio = new AudioInputStream(new Samples(starts, frames), format, frames)) {
            AudioSystem.write(audio, AudioFileFormat.Type.WAVE, stream);
        }
        stream.flush();
    }

    /** The little-endian samples of the track, computed as they are read. */
    private static final class Samples extends InputStream {
        private final long[] starts;
        private final long length;
        private long position;      // in bytes
        private int firstSounding;  // no click before this index sounds at or after the current frame
        private long sampleFrame = -1;
        private int sample;

        Samples(long[] starts, long frames) {
            this.starts = starts;
            this.length = frames * 2;
        }

        @Override
        public int read() {
            if (position >= length) {
                return -1;
            }
            return nextByte();
        }

        @Override
        public int read(byte[] buffer, int offset, int count) {
            if (count == 0) {
                return 0;
            }
            if (position >= length) {
                return -1;
            }
            int n = (int) Math.min(count, length - position);
            for (int i = 0; i < n; i++) {
                buffer[offset + i] = (byte) nextByte();
            }
            return n;
        }

        private int nextByte() {
            long frame = position >> 1;
            if (frame != sampleFrame) {
                sample = sampleAt(frame);
                sampleFrame = frame;
            }
            int b = (position & 1) == 0 ? sample & 0xff : (sample >> 8) & 0xff;
            position++;
            return b;
        }

        /** Sum of the clicks sounding at this frame, clipped; frames are asked for in increasing order. */
        private int sampleAt(long frame) {
            while (firstSounding < starts.length && starts[firstSounding] + CLICK_SAMPLES <= frame) {
                firstSounding++;
            }
            long sum = 0;
            for (int i = firstSounding; i < starts.length && starts[i] <= frame; i++) {
                sum += CLICK[(int) (frame - starts[i])];
            }
            return (int) Math.max(Short.MIN_VALUE, Math.min(Short.MAX_VALUE, sum));
        }
    }
}
