package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.PrintWriter;
import java.io.StringWriter;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.Test;

class AllocatingCaseTest {

    @Test
    void aChildsResultLineIsReadAndWhateverElseItSaidIsKept() {
        Set<String> other = new LinkedHashSet<>();
        AllocatingCase.Run run = AllocatingCase.parse("Set beat list native\nStart native tapping \n"
                + "OpenJDK 64-Bit Server VM warning: something\n"
                + "tembrix-alloc real_time=true taps=3 beats=4 lateness_ns=40000,-2,1200000\n", other);
        assertTrue(run.realTime);
        assertEquals(4, run.beats);
        assertArrayEquals(new long[] {40_000, -2, 1_200_000}, run.lateness);
        assertEquals(Set.of("OpenJDK 64-Bit Server VM warning: something"), other);
        assertEquals(0, AllocatingCase.parse("tembrix-alloc real_time=false taps=0 beats=4 lateness_ns=\n", other)
                .lateness.length);

        assertThrows(IllegalStateException.class, () -> AllocatingCase.parse("Exception in thread main\n", other));
        assertThrows(IllegalStateException.class, () -> AllocatingCase.parse(
                "tembrix-alloc real_time=true taps=3 beats=4 lateness_ns=1,2\n", other), "fewer values than taps");
        assertThrows(IllegalStateException.class, () -> AllocatingCase.parse(
                "tembrix-alloc real_time=true taps=1 beats=4\n", other), "no values");
    }

    @Test
    void aRefusedChildStartsUnderTheRefusalPinnedToItsCpus() {
        assertEquals(List.of(0, 1, 2, 5, 7, 8), AllocatingCase.parseCpuList("0-2,5,7-8"));
        AllocatingCase.Results results = new AllocatingCase.Results(1, 10);
        AllocatingCase.Setting setting = new AllocatingCase.Setting(AllocatingCase.Gc.SHENANDOAH, 2, "2,3");
        List<String> command = new AllocatingCase(new PrintWriter(new StringWriter()), 1, 10, 50)
                .command(setting, AllocatingCase.Privilege.REFUSED, results);
        assertEquals(List.of("taskset", "-c", "2,3", "prlimit", "--rtprio=0:0", "setpriv", "--bounding-set=-sys_nice",
                "--inh-caps=-sys_nice"), command.subList(0, 8));
        assertTrue(command.get(8).endsWith("/bin/java"), command.get(8));
        assertTrue(command.containsAll(List.of("-XX:+UseShenandoahGC", "-Xmx256m")), command.toString());
        assertEquals(List.of(AllocatingTap.class.getName(), "10", "2000", "50"),
                command.subList(command.size() - 4, command.size()));
    }
}
