package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Which of the jar's libraries the loader picks. */
class NativeLibraryTest {

    @ParameterizedTest
    @CsvSource({
        "Linux, amd64, linux-x86_64",
        "Linux, x86_64, linux-x86_64",
        "Linux, aarch64, linux-aarch64",
        "Linux, arm64, linux-aarch64",
        "Linux, arm, linux-armhf",
        "Linux, armv7l, linux-armhf",
        "Linux, armhf, linux-armhf",
        "Mac OS X, x86_64, macos",
        "Mac OS X, aarch64, macos",
        "macOS, arm64, macos",
        "Mac OS X, amd64, macos",
    })
    void eachSupportedPlatformHasADirectory(String os, String arch, String directory) {
        assertEquals(directory, NativeLibrary.platform(os, arch));
    }

    @ParameterizedTest
    @CsvSource({"Linux, x86", "Linux, armv6l", "Linux, riscv64", "Windows 10, amd64", "FreeBSD, amd64",
        "Mac OS X, ppc"})
    void otherPlatformsHaveNone(String os, String arch) {
        assertNull(NativeLibrary.platform(os, arch));
    }

    /** The build says which directories this jar carries: every platform in a dist build. */
    @Test
    void theJarCarriesALibraryForEachOfItsPlatforms() {
        for (String directory : System.getProperty("tembrix.test.bundled", "").split(",")) {
            String file = directory.equals("macos") ? "libtembrix.jnilib" : "libtembrix.so";
            String resource = "/drovak/android/native/" + directory + "/" + file;
            assertNotNull(NativeLibrary.class.getResource(resource), resource);
        }
    }

    @Test
    void anUnsupportedPlatformIsNamedWithTheSupportedOnes() throws Exception {
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                "-Dos.arch=riscv64", "-Djava.library.path=/nonexistent", ChildMain.class.getName(), "loaded-from");
        assertTrue(r.output.contains("UnsatisfiedLinkError"), r.output);
        assertTrue(r.output.contains("riscv64"), r.output);
        assertTrue(r.output.contains(NativeLibrary.SUPPORTED), r.output);
    }

    @Test
    void aBundledLibraryTheSystemRefusesPassesTheSystemsMessageOn(@TempDir Path dir) throws Exception {
        String platform = NativeLibrary.platform();
        String file = platform.equals("macos") ? "libtembrix.jnilib" : "libtembrix.so";
        Path bogus = dir.resolve("drovak/android/native/" + platform + "/" + file);
        Files.createDirectories(bogus.getParent());
        Files.writeString(bogus, "not a library ".repeat(16));
        String classPath = dir + ":" + System.getProperty("tembrix.test.classes") + ":"
                + ProcessTest.class.getProtectionDomain().getCodeSource().getLocation().getPath();
        ProcessTest.Result r = ProcessTest.runJvm(classPath, "-Djava.library.path=/nonexistent",
                ChildMain.class.getName(), "loaded-from");
        assertTrue(r.output.contains("UnsatisfiedLinkError"), r.output);
        assertTrue(r.output.contains("bundled /drovak/android/native/" + platform + "/" + file), r.output);
        if (platform.startsWith("linux")) {
            assertTrue(r.output.contains("invalid ELF header"), "the system's own words: " + r.output);
        }
    }
}
