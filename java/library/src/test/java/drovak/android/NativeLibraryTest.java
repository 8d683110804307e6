package drovak.android;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Which library the loader picks, where it writes the jar's copy, and what it says when it cannot. */
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
        "Windows 10, amd64, windows-x86_64",
        "Windows 11, aarch64, windows-aarch64",
    })
    void eachSupportedPlatformHasADirectory(String os, String arch, String directory) {
        assertEquals(directory, NativeLibrary.platform(os, arch));
    }

    @ParameterizedTest
    @CsvSource({"Linux, x86", "Linux, armv6l", "Linux, riscv64", "Windows 10, x86", "FreeBSD, amd64",
        "Mac OS X, ppc"})
    void otherPlatformsHaveNone(String os, String arch) {
        assertNull(NativeLibrary.platform(os, arch));
    }

    /** The build says which directories this jar carries: every platform in a dist build. */
    @Test
    void theJarCarriesALibraryForEachOfItsPlatforms() {
        for (String directory : System.getProperty("tembrix.test.bundled", "").split(",")) {
            String file = directory.equals("macos") ? "libtembrix.jnilib"
                    : directory.startsWith("windows") ? "tembrix.dll" : "libtembrix.so";
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
        String classPath = dir + ":" + System.getProperty("tembrix.test.classes") + ":" + testClasses();
        ProcessTest.Result r = ProcessTest.runJvm(List.of("env", "XDG_CACHE_HOME=" + dir.resolve("cache")), null,
                classPath, ChildMain.class.getName(), "loaded-from");
        assertTrue(r.output.contains("UnsatisfiedLinkError"), r.output);
        assertTrue(r.output.contains("drovak/android/native/" + platform + "/" + file), r.output);
        if (platform.startsWith("linux")) {
            assertTrue(r.output.contains("invalid ELF header"), "the system's own words: " + r.output);
        }
    }

    /**
     * The jar's copy comes first: a library in a folder on java.library.path (an empty element of
     * LD_LIBRARY_PATH stands for the working directory) is loaded only by a jar without a copy for the platform.
     */
    @Test
    void aLibraryOnTheLibraryPathIsLoadedOnlyWhereTheJarHasNone(@TempDir Path dir) throws Exception {
        Path planted = dir.resolve(System.mapLibraryName("tembrix"));
        Files.copy(Path.of(System.getProperty("tembrix.test.library")), planted);
        ProcessTest.Result jar = ProcessTest.runJvm(List.of("env", "LD_LIBRARY_PATH=/nonexistent:"), dir.toFile(),
                System.getProperty("tembrix.test.classpath"), ChildMain.class.getName(), "loaded-from");
        assertEquals(0, jar.exitCode, jar.output);
        assertTrue(jar.output.contains("libtembrix-"), "extracted from the jar: " + jar.output);
        assertFalse(jar.output.contains(planted.toString()), jar.output);

        String classesAlone = System.getProperty("tembrix.test.classes") + ":" + testClasses();
        ProcessTest.Result none = ProcessTest.runJvm(classesAlone, "-Djava.library.path=" + dir,
                ChildMain.class.getName(), "loaded-from");
        assertEquals(0, none.exitCode, none.output);
        assertTrue(none.output.contains(planted.toString()), none.output);
    }

    @Test
    void aMissingOrUnwritableTmpdirFallsBackToTheCacheFolderAndEachReasonIsNamed(@TempDir Path dir)
            throws Exception {
        Path cache = dir.resolve("cache");
        Path missing = dir.resolve("missing");
        ProcessTest.Result fallback = load(cache, "-Djava.io.tmpdir=" + missing);
        assertEquals(0, fallback.exitCode, fallback.output);
        assertTrue(fallback.output.contains(cache.resolve("tembrix/libtembrix-").toString()), fallback.output);
        assertEquals("rwx------", PosixFilePermissions.toString(
                Files.getPosixFilePermissions(cache.resolve("tembrix"))), "created owner-only");
        try (Stream<Path> left = Files.list(cache.resolve("tembrix"))) {
            assertEquals(0, left.count(), "the copy is deleted once loaded");
        }

        // /dev/null/tembrix cannot be created, and no one may create files in /sys, not even root.
        Path noCache = Path.of("/dev/null");
        ProcessTest.Result gone = load(noCache, "-Djava.io.tmpdir=" + missing);
        assertTrue(gone.output.contains("UnsatisfiedLinkError"), gone.output);
        assertTrue(gone.output.contains("java.io.tmpdir " + missing + " (" + missing + ": no such folder)"),
                gone.output);
        assertTrue(gone.output.contains("/dev/null/tembrix (/dev/null/tembrix: Not a directory)"), gone.output);
        assertTrue(gone.output.contains("unzip -j " + System.getProperty("tembrix.test.classpath").split(":")[0]
                + " drovak/android/native/"), "how to extract it by hand: " + gone.output);
        assertTrue(gone.output.contains("-D" + Tapper.LIBRARY_PATH_PROPERTY + "=DIR/"), gone.output);
        ProcessTest.Result unwritable = load(noCache, "-Djava.io.tmpdir=/sys");
        assertTrue(unwritable.output.matches("(?s).*java\\.io\\.tmpdir /sys \\(/sys/libtembrix-\\d+\\.so: "
                + "(permission denied|Read-only file system)\\).*"), unwritable.output);
    }

    @Test
    void aTembrixTmpdirThatCannotBeUsedIsAnErrorWithoutFallback(@TempDir Path dir) throws Exception {
        Path missing = dir.resolve("missing");
        ProcessTest.Result r = load(dir.resolve("cache"), "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + missing);
        assertTrue(r.exitCode != 0, r.output);
        assertTrue(r.output.contains("UnsatisfiedLinkError: cannot load the tembrix native library: the folder "
                + missing + " named by -Dtembrix.tmpdir cannot be used (" + missing + ": no such folder)"), r.output);
        assertFalse(Files.exists(dir.resolve("cache")), "no other folder is tried");

        Path chosen = Files.createDirectory(dir.resolve("chosen"));
        ProcessTest.Result works = load(dir.resolve("cache"), "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + chosen);
        assertEquals(0, works.exitCode, works.output);
        assertTrue(works.output.contains(chosen.resolve("libtembrix-").toString()), works.output);
    }

    /** As root in a mount namespace of its own, the child gets a java.io.tmpdir mounted noexec. */
    @Test
    void aNoexecTmpdirFallsBackToTheCacheFolderButANoexecTembrixTmpdirIsAnError(@TempDir Path dir)
            throws Exception {
        Path noexec = Files.createDirectory(dir.resolve("noexec"));
        Path cache = dir.resolve("cache");
        List<String> mountNoexec = List.of("env", "XDG_CACHE_HOME=" + cache, "unshare", "-m", "sh", "-c",
                "mount -t tmpfs -o noexec tmpfs \"$0\" && exec \"$@\"", noexec.toString());
        List<String> probe = new ArrayList<>(mountNoexec);
        probe.add("true");
        assumeTrue(new ProcessBuilder(probe).redirectErrorStream(true).start().waitFor() == 0,
                "needs root (CAP_SYS_ADMIN) and unshare to mount a noexec file system in a namespace of its own");
        ProcessTest.Result fallback = ProcessTest.runJvm(mountNoexec, null,
                System.getProperty("tembrix.test.classpath"), "-Djava.io.tmpdir=" + noexec,
                ChildMain.class.getName(), "loaded-from");
        assertEquals(0, fallback.exitCode, fallback.output);
        assertTrue(fallback.output.contains(cache.resolve("tembrix/libtembrix-").toString()), fallback.output);

        ProcessTest.Result chosen = ProcessTest.runJvm(mountNoexec, null,
                System.getProperty("tembrix.test.classpath"), "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + noexec,
                ChildMain.class.getName(), "loaded-from");
        assertTrue(chosen.exitCode != 0, chosen.output);
        assertTrue(chosen.output.contains("the folder " + noexec + " named by -Dtembrix.tmpdir cannot be used"),
                chosen.output);
        assertTrue(chosen.output.contains("failed to map segment from shared object"), chosen.output);
    }

    /** Under umask 000 too, the copy is owner-only: written into the file created for it, never replaced. */
    @Test
    void theCopyIsOwnerOnly(@TempDir Path dir) throws Exception {
        ProcessTest.Result r = ProcessTest.runJvm(List.of("sh", "-c", "umask 000 && exec \"$@\"", "sh"), null,
                System.getProperty("tembrix.test.classpath"), LoaderChild.class.getName(), "copy-permissions",
                dir.toString());
        assertEquals("copy rw-------\n", r.output.replace("\r", ""));
    }

    /** A JVM maps a file into one class loader only: a second loader gets a private copy of the named file. */
    @Test
    void aNamedLibraryLoadsInASecondClassLoaderFromACopyOfItsOwn(@TempDir Path dir) throws Exception {
        Path named = Files.copy(Path.of(System.getProperty("tembrix.test.library")), dir.resolve("libtembrix.so"));
        Path tmp = Files.createDirectory(dir.resolve("tmp"));
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                "-D" + Tapper.LIBRARY_PATH_PROPERTY + "=" + named, "-Djava.io.tmpdir=" + tmp,
                LoaderChild.class.getName(), "two-loaders", jar());
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("loader 1 loaded " + named + "\n"), r.output);
        assertTrue(r.output.contains("loader 2 loaded " + tmp.resolve("libtembrix-")), r.output);
    }

    /**
     * Windows cannot delete a loaded DLL: the copy is written once under its content's hash and reused, a file of
     * that name that differs is never replaced, and each class loader of a JVM loads a file of its own.
     */
    @Test
    void onWindowsTheCopyIsWrittenOnceReusedAndNeverReplaced(@TempDir Path dir) throws Exception {
        assumeTrue(NativeLibrary.windows(), "elsewhere the copy is deleted once loaded");
        String classPath = System.getProperty("tembrix.test.classpath");
        String chosen = "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + dir;
        ProcessTest.Result first = ProcessTest.runJvm(classPath, chosen, ChildMain.class.getName(), "loaded-from");
        assertEquals(0, first.exitCode, first.output);
        List<Path> files = list(dir).collect(Collectors.toList());
        assertEquals(1, files.size(), files.toString());
        Path kept = files.get(0);
        assertTrue(kept.getFileName().toString().matches("tembrix-[0-9a-f]{32}\\.dll"), kept.toString());
        assertTrue(first.output.contains("loaded " + kept), first.output);
        FileTime written = Files.getLastModifiedTime(kept);

        ProcessTest.Result again = ProcessTest.runJvm(classPath, chosen, ChildMain.class.getName(), "loaded-from");
        assertTrue(again.output.contains("loaded " + kept), again.output);
        assertEquals(written, Files.getLastModifiedTime(kept), "reused, not written again");

        byte[] other = "another library".getBytes(StandardCharsets.US_ASCII);
        Files.write(kept, other);
        String name = kept.toString().replace(".dll", "");
        ProcessTest.Result two = ProcessTest.runJvm(classPath, chosen, LoaderChild.class.getName(), "two-loaders",
                jar());
        assertTrue(two.output.contains("loader 1 loaded " + name + "-2.dll"), two.output);
        assertTrue(two.output.contains("loader 2 loaded " + name + "-3.dll"), two.output);
        assertArrayEquals(other, Files.readAllBytes(kept), "a file that differs is left as it is");
        assertEquals(3, list(dir).count(), "no partial file is left");

        ProcessTest.Result unset = ProcessTest.runJvm(classPath, ChildMain.class.getName(), "loaded-from");
        assertTrue(unset.output.contains("loaded " + Path.of(System.getenv("LOCALAPPDATA"), "tembrix", "tembrix-")),
                unset.output);
    }

    /**
     * The copy is loaded again by its name after it is written: a folder where another user could rename it and
     * put their own in its place is refused, and so is one inside such a folder or one that another user owns.
     */
    @Test
    void aFolderWhereOtherUsersMayReplaceTheCopyIsRefused(@TempDir Path dir) throws Exception {
        Path open = Files.createDirectory(dir.resolve("open"));
        Path sticky = Files.createDirectory(dir.resolve("sticky"));
        host("chmod", "0777", open.toString());
        host("chmod", "1777", sticky.toString());
        ProcessTest.Result refused = load(dir.resolve("cache"), "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + open);
        assertTrue(refused.output.contains("the folder " + open + " named by -Dtembrix.tmpdir cannot be used ("
                + open + ": other users may replace files in it: it is rwxrwxrwx without the sticky bit"),
                refused.output);
        ProcessTest.Result accepted = load(dir.resolve("cache"), "-D" + NativeLibrary.TMPDIR_PROPERTY + "=" + sticky);
        assertEquals(0, accepted.exitCode, accepted.output);

        NativeLibrary.Copy copy = new NativeLibrary.Copy("a test copy", new byte[16], ".so", "");
        Path inside = Files.createDirectory(open.resolve("inside"));
        FileSystemException e = assertThrows(FileSystemException.class, () -> NativeLibrary.extract(copy, inside));
        assertTrue(e.getMessage().contains(open + ", a folder it is in, is rwxrwxrwx"), e.getMessage());
        if (RealTimeTest.isRoot()) {
            Path others = Files.createDirectory(dir.resolve("others"));
            Files.setAttribute(others, "unix:uid", 65534);
            e = assertThrows(FileSystemException.class, () -> NativeLibrary.extract(copy, others));
            assertTrue(e.getMessage().contains("it belongs to user 65534"), e.getMessage());
        }
        try (Stream<Path> left = Stream.of(open, inside, dir.resolve("others")).filter(Files::isDirectory)
                .flatMap(NativeLibraryTest::list)) {
            assertEquals(List.of(), left.collect(Collectors.toList()), "a refused copy is deleted");
        }
    }

    /** The library path naming a file that is no library, or a library without the natives. */
    @Test
    void aNamedFileThatIsNoTembrixLibraryIsRefusedAtLoadAndNamedOnce(@TempDir Path dir) throws Exception {
        Path text = Files.writeString(dir.resolve("notes.txt"), "not a library ".repeat(16));
        ProcessTest.Result notElf = loadNamed(text.toString());
        assertTrue(notElf.output.contains("UnsatisfiedLinkError: cannot load the tembrix native library " + text
                + " named by -Dtembrix.library.path: invalid ELF header"), notElf.output);
        String message = notElf.output.lines().filter(line -> line.contains("UnsatisfiedLinkError")).findFirst()
                .orElseThrow();
        assertEquals(1, message.split(Pattern.quote(text.toString()), -1).length - 1, message);

        String libc;
        try (Stream<String> maps = Files.lines(Path.of("/proc/self/maps"))) {
            libc = maps.filter(line -> line.endsWith("/libc.so.6")).findFirst().orElseThrow();
        }
        libc = libc.substring(libc.indexOf('/'));
        ProcessTest.Result c = loadNamed(libc);
        assertTrue(c.output.contains("UnsatisfiedLinkError: cannot load the tembrix native library: " + libc
                + " named by -Dtembrix.library.path is not a tembrix library (it lacks the tembrix natives). Fix the "
                + "path, or remove the property"), c.output);
        assertFalse(c.output.contains("ExceptionInInitializerError"), c.output);
    }

    @Test
    void deniedNativeAccessIsAnUnsatisfiedLinkErrorThatSaysWhatToDo() throws Exception {
        assumeTrue(!ProcessTest.emulated(), "runs the host's JDK 24+, not the emulated JDK 17");
        String java = System.getProperty("tembrix.test.jdk25", "/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
        assumeTrue(Files.isExecutable(Path.of(java)), "needs a JDK 24 or later at " + java);
        // The prefix drops the test JVM's own java from the command line and runs this one instead.
        List<String> onJdk25 = List.of("sh", "-c", "shift && exec \"$0\" \"$@\"", java);
        ProcessTest.Result denied = ProcessTest.runJvm(onJdk25, null, System.getProperty("tembrix.test.classpath"),
                "--illegal-native-access=deny", ChildMain.class.getName(), "loaded-from");
        assertTrue(denied.exitCode != 0, denied.output);
        assertTrue(denied.output.contains("UnsatisfiedLinkError: cannot load the tembrix native library: this JVM "
                + "denies it native access"), denied.output);
        assertTrue(denied.output.contains("Run java with --enable-native-access=ALL-UNNAMED"), denied.output);
        assertFalse(denied.output.contains("ExceptionInInitializerError"), denied.output);

        ProcessTest.Result enabled = ProcessTest.runJvm(onJdk25, null, System.getProperty("tembrix.test.classpath"),
                "--illegal-native-access=deny", "--enable-native-access=ALL-UNNAMED",
                ChildMain.class.getName(), "loaded-from");
        assertEquals(0, enabled.exitCode, enabled.output);
        assertTrue(enabled.output.contains("libtembrix-"), enabled.output);
    }

    /** Loads the library in a child JVM from the test's jar, with the given XDG_CACHE_HOME. */
    private static ProcessTest.Result load(Path cacheHome, String... properties) throws Exception {
        List<String> args = new ArrayList<>(List.of(properties));
        args.addAll(List.of(ChildMain.class.getName(), "loaded-from"));
        return ProcessTest.runJvm(List.of("env", "XDG_CACHE_HOME=" + cacheHome), null,
                System.getProperty("tembrix.test.classpath"), args.toArray(new String[0]));
    }

    private static ProcessTest.Result loadNamed(String file) throws Exception {
        return ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                "-D" + Tapper.LIBRARY_PATH_PROPERTY + "=" + file, ChildMain.class.getName(), "loaded-from");
    }

    private static Stream<Path> list(Path folder) {
        try {
            return Files.list(folder).filter(Files::isRegularFile);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static void host(String... command) throws Exception {
        assertEquals(0, new ProcessBuilder(command).inheritIO().start().waitFor(), String.join(" ", command));
    }

    /** The library jar, first on the test class path. */
    private static String jar() {
        return System.getProperty("tembrix.test.classpath").split(File.pathSeparator)[0];
    }

    private static String testClasses() {
        return NativeLibraryTest.class.getProtectionDomain().getCodeSource().getLocation().getPath();
    }
}
