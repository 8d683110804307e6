package drovak.tembrix.bench;

import javax.sound.midi.InvalidMidiDataException;
import javax.sound.midi.MetaMessage;
import javax.sound.midi.MidiEvent;
import javax.sound.midi.MidiMessage;
import javax.sound.midi.MidiSystem;
import javax.sound.midi.MidiUnavailableException;
import javax.sound.midi.Receiver;
import javax.sound.midi.Sequence;
import javax.sound.midi.Sequencer;
import javax.sound.midi.ShortMessage;
import javax.sound.midi.Track;

/**
 * The JDK's MIDI sequencer, not connected to a synthesizer ({@code MidiSystem.getSequencer(false)}), playing a
 * {@link Sequence} with one note-on at each beat into a receiver of our own that records {@code System.nanoTime()}.
 * A tick is exactly 1 us (1,000,000 ticks per quarter note at 1,000,000 us per quarter note), so the schedule's
 * whole-microsecond offsets are its ticks unrounded. Lateness counts from {@code System.nanoTime()} read right
 * before {@code Sequencer.start()}.
 *
 * <p>The sequencer's thread is started by {@code open()}, before the start point, and waits; {@code start()} wakes
 * it, and its first step reads the millisecond clock it steps by against tick 0. A program change at tick 0, sent
 * at that first step, bounds that reading from above (t0, not exact). Its CPU time is that of the sequencer's
 * thread, which calls the receiver.
 */
final class SequencerContender implements Contender {

    /** Ticks per quarter note and microseconds per quarter note: one tick per microsecond. */
    static final int TICKS_PER_QUARTER = 1_000_000;
    static final int MICROS_PER_QUARTER = 1_000_000;

    private static final int TEMPO = 0x51;
    /** Channel 10, the drum channel, and a side stick: a metronome's click. */
    private static final int CHANNEL = 9;
    private static final int CLICK = 37;
    private static final int VELOCITY = 100;
    private static final long NOT_YET = Long.MIN_VALUE;

    @Override
    public String name() {
        return "javax.sound.midi.Sequencer";
    }

    /**
     * Why the sequencer cannot run in this JVM, or null if it can: one is got and opened, then closed.
     */
    static String unavailableReason() {
        try (Sequencer sequencer = MidiSystem.getSequencer(false)) {
            sequencer.open();
            return null;
        } catch (MidiUnavailableException | RuntimeException e) {
            return e.getClass().getSimpleName() + (e.getMessage() == null ? "" : ": " + e.getMessage());
        }
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException, InvalidMidiDataException,
            MidiUnavailableException {
        Sequence sequence = sequence(schedule);
        RecordingReceiver receiver = new RecordingReceiver(schedule.size());
        try (Sequencer sequencer = MidiSystem.getSequencer(false)) {
            sequencer.open();
            sequencer.setSequence(sequence);
            sequencer.getTransmitter().setReceiver(receiver);
            long start = System.nanoTime();
            sequencer.start();
            if (!receiver.log.awaitAll(Contender.timeoutMillis(schedule))) {
                throw new IllegalStateException("the sequencer sent " + receiver.log.count() + " of " + schedule.size()
                        + " beats of the " + schedule.name() + " in time");
            }
            long t0 = receiver.programChange;
            return new Run(Contender.lateness(receiver.log.taps(), start, schedule), t0 == NOT_YET ? -1 : t0 - start,
                    false, null, receiver.log.cpuNanos());
        }
    }

    /** A one-track sequence: the tempo and a program change at tick 0, then a click at each beat's offset. */
    static Sequence sequence(Schedule schedule) throws InvalidMidiDataException {
        Sequence sequence = new Sequence(Sequence.PPQ, TICKS_PER_QUARTER);
        Track track = sequence.createTrack();
        byte[] tempo = {
            (byte) (MICROS_PER_QUARTER >> 16), (byte) (MICROS_PER_QUARTER >> 8), (byte) MICROS_PER_QUARTER,
        };
        track.add(new MidiEvent(new MetaMessage(TEMPO, tempo, tempo.length), 0));
        track.add(new MidiEvent(new ShortMessage(ShortMessage.PROGRAM_CHANGE, CHANNEL, 0, 0), 0));
        for (int i = 0; i < schedule.size(); i++) {
            long tick = schedule.offsetNanos(i) / 1_000;
            track.add(new MidiEvent(new ShortMessage(ShortMessage.NOTE_ON, CHANNEL, CLICK, VELOCITY), tick));
        }
        return sequence;
    }

    /**
     * Records the arrival of each click, and of the first program change. The sequencer also sends the notes off,
     * as note-ons of velocity 0, and controller resets when it stops; those are not beats.
     */
    private static final class RecordingReceiver implements Receiver {
        final BeatLog log;
        volatile long programChange = NOT_YET;

        RecordingReceiver(int beats) {
            log = new BeatLog(beats);
        }

        @Override
        public void send(MidiMessage message, long timeStamp) {
            long now = System.nanoTime();
            if (!(message instanceof ShortMessage)) {
                return;
            }
            ShortMessage shortMessage = (ShortMessage) message;
            if (shortMessage.getCommand() == ShortMessage.NOTE_ON && shortMessage.getData2() > 0) {
                log.record(now);
            } else if (shortMessage.getCommand() == ShortMessage.PROGRAM_CHANGE && programChange == NOT_YET) {
                programChange = now;
            }
        }

        @Override
        public void close() {}
    }
}
