package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;
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
        "Mac OS X, x86_64, macos",
        "Mac OS X, aarch64, macos",
        "macOS, arm64, macos",
        "Mac OS X, amd64, macos",
    })
    void eachSupportedPlatformHasADirectory(String os, String arch, String directory) {
        assertEquals(directory, NativeLibrary.platform(os, arch));
    }

    @ParameterizedTest
    @CsvSource({"Linux, x86", "Linux, arm", "Linux, riscv64", "Windows 10, amd64", "FreeBSD, amd64",
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
}
