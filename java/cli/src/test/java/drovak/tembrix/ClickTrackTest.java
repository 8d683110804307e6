package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class ClickTrackTest {

    @TempDir
    Path dir;

    @Test
    void aValidWavHasOneClickAtEachTimeOnTheNearestSample() throws Exception {
        // 10 ms is 441 samples; 0.5 s + 12 us rounds up to 22051 (0.53 of a sample); 1 s is 44100.
        long[] clicks = {0, 10_000_000, 500_012_000, 1_000_000_000};
        short[] samples = writeAndRead(clicks);
        assertEquals(List.of(0, 441, 22_051, 44_100), onsets(samples));
        assertEquals(44_100 + ClickTrack.CLICK_SAMPLES + 11_025, samples.length, "last click plus a 250 ms tail");
    }

    @Test
    void clicksAtTheSameTimeAddUpWithoutWrappingAround() throws Exception {
        short[] samples = writeAndRead(new long[] {1_000_000, 1_000_000, 1_000_000});
        assertEquals(List.of(44), onsets(samples));
        assertEquals(Short.MAX_VALUE, samples[44], "clipped at full scale, not wrapped to negative");
    }

    @Test
    void noClicksGiveASilentTail() throws Exception {
        short[] samples = writeAndRead(new long[0]);
        assertEquals(11_025, samples.length);
        assertEquals(List.of(), onsets(samples));
    }

    @Test
    void aTrackTooLongForAWavIsRefusedBeforeAnythingIsWritten() throws IOException {
        long tooLate = (long) (ClickTrack.MAX_SECONDS * 1e9) + 1_000_000_000L;
        OutputStream failIfWritten = new OutputStream() {
            @Override
            public void write(int b) {
                throw new AssertionError("written");
            }
        };
        IOException e = org.junit.jupiter.api.Assertions.assertThrows(IOException.class,
                () -> ClickTrack.write(new long[] {tooLate}, failIfWritten));
        assertTrue(e.getMessage().contains("does not fit a WAV file"), e.getMessage());
    }

    private short[] writeAndRead(long[] clickNanos) throws IOException, UnsupportedAudioFileException {
        Path file = dir.resolve("clicks.wav");
        try (OutputStream out = Files.newOutputStream(file)) {
            ClickTrack.write(clickNanos, out);
        }
        AudioFileFormat fileFormat = AudioSystem.getAudioFileFormat(file.toFile());
        assertEquals(AudioFileFormat.Type.WAVE, fileFormat.getType());
        try (AudioInputStream audio = AudioSystem.getAudioInputStream(file.toFile())) {
            AudioFormat format = audio.getFormat();
            assertEquals(AudioFormat.Encoding.PCM_SIGNED, format.getEncoding());
            assertEquals(44_100f, format.getSampleRate());
            assertEquals(16, format.getSampleSizeInBits());
            assertEquals(1, format.getChannels());
            byte[] bytes = audio.readAllBytes();
            assertEquals(audio.getFrameLength() * 2, bytes.length);
            ByteOrder order = format.isBigEndian() ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN;
            short[] samples = new short[bytes.length / 2];
            ByteBuffer.wrap(bytes).order(order).asShortBuffer().get(samples);
            return samples;
        }
    }

    /** Where a click starts: a sound after at least a click's length of silence (or at the very start). */
    private static List<Integer> onsets(short[] samples) {
        List<Integer> onsets = new ArrayList<>();
        int silent = ClickTrack.CLICK_SAMPLES;
        for (int i = 0; i < samples.length; i++) {
            if (samples[i] == 0) {
                silent++;
            } else {
                if (silent >= ClickTrack.CLICK_SAMPLES) {
                    onsets.add(i);
                }
                silent = 0;
            }
        }
        return onsets;
    }
}
