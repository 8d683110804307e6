package drovak.android;

import java.io.IOException;
import java.io.InputStream;
import java.net.URISyntaxException;
import java.net.URL;
import java.nio.ByteBuffer;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Set;

/**
 * Loads the native tembrix library from the first of:
 * <ol>
 *   <li>the file named by {@code -Dtembrix.library.path}: when that is set, it alone is tried. A JVM maps a file
 *       into one class loader only, so a second class loader loads a private copy of it, written out as the jar's
 *       copy is;
 *   <li>the copy inside the jar for this platform. It is written into a new, randomly named, owner-only file in
 *       the folder named by {@code -Dtembrix.tmpdir} (alone, when that is set), or else in {@code java.io.tmpdir}
 *       and then in a per-user cache folder: the next folder is tried when one cannot be written, another user
 *       could replace the copy there before it is loaded, or its copy cannot be loaded (a file system mounted
 *       noexec). The file is deleted once loaded;
 *   <li>{@code System.loadLibrary("tembrix")}, only where the jar has no copy for this platform.
 * </ol>
 * Whatever was loaded is then asked for the version of its interface: a file that is not a tembrix library, or a
 * tembrix library of another version, fails at once with an error that says so.
 * The jar's copy comes before {@code java.library.path} so that neither a stale system copy nor a file planted in
 * a folder on that path (an empty element of {@code LD_LIBRARY_PATH} stands for the working directory) is loaded
 * in its place. A packager who wants a system copy names it with {@code -Dtembrix.library.path}.
 */
final class NativeLibrary {

    static final String NAME = "tembrix";

    /** System property naming the folder for the copy of the jar's library; it alone is tried when set. */
    static final String TMPDIR_PROPERTY = "tembrix.tmpdir";

    /** The platforms whose library the jar carries, for messages. */
    static final String SUPPORTED = "Linux on x86-64, aarch64 or 32-bit ARM (ARMv7 hard-float) (glibc 2.17 or "
            + "later), macOS 11 or later on x86-64 or arm64, Windows 10 (1803) or later on x86-64";

    private static final Set<PosixFilePermission> OWNER_ONLY_FILE = PosixFilePermissions.fromString("rw-------");
    private static final Set<PosixFilePermission> OWNER_ONLY_FOLDER = PosixFilePermissions.fromString("rwx------");

    /** The version of the natives' interface that this jar's classes call; the library tells its own. */
    static final int INTERFACE_VERSION = 2;

    private static final String ONE_LOADER = "load tembrix in one class loader only (put its jar on the class path"
            + " of a loader that the others share).";

    /** On Windows: how many kept copies of one library a folder may hold, one per class loader that loads it. */
    private static final int KEPT_COPIES = 16;

    /** The file this class loader's copy of the library was loaded from, once it is loaded (for diagnostics). */
    static volatile String loadedFile;

    private NativeLibrary() {}

    private static native int interfaceVersion();

    static void load() {
        try {
            loadFirstThatWorks();
        } catch (IllegalCallerException e) {
            // JDK 24 and later, run with --illegal-native-access=deny: System.load refuses a caller without native
            // access. The other places would be refused alike.
            Module module = NativeLibrary.class.getModule();
            String enable = module.isNamed()
                    ? "--enable-native-access=" + module.getName()
                    : "--enable-native-access=ALL-UNNAMED (or, with the tembrix jar on the module path, "
                            + "--enable-native-access=drovak.tembrix)";
            throw linkError("cannot load the tembrix native library: this JVM denies it native access ("
                    + e.getMessage() + "). Run java with " + enable + ".", e);
        }
    }

    private static void loadFirstThatWorks() {
        String explicit = System.getProperty(Tapper.LIBRARY_PATH_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            // The user named this file: falling back to another copy would hide their mistake.
            loadExplicit(Path.of(explicit).toAbsolutePath().toString());
            return;
        }
        String resource = bundledResource();
        if (resource != null && NativeLibrary.class.getResource(resource) != null) {
            loadBundled(resource);
            checkInterface("the library inside the jar (" + resource.substring(1) + ")",
                    "The jar is damaged or was put together from two builds: use a tembrix jar as it was released.");
            return;
        }
        try {
            System.loadLibrary(NAME);
        } catch (UnsatisfiedLinkError | SecurityException e) {
            String none = resource == null
                    ? "the jar has no bundled library for this platform (it has them for " + SUPPORTED + ")"
                    : "the jar has no bundled library for this platform (no " + resource.substring(1) + ")";
            throw linkError("cannot load the tembrix native library for " + platformDescription() + ": " + none
                    + ", and System.loadLibrary(\"" + NAME + "\") found none on java.library.path="
                    + System.getProperty("java.library.path") + " (" + e.getMessage() + "). Set -D"
                    + Tapper.LIBRARY_PATH_PROPERTY + "=/path/to/" + System.mapLibraryName(NAME)
                    + " or put it on java.library.path.", e);
        }
        loadedFile = System.mapLibraryName(NAME) + " on java.library.path";
        checkInterface("the " + System.mapLibraryName(NAME) + " that System.loadLibrary found on java.library.path="
                + System.getProperty("java.library.path"), "Put the " + System.mapLibraryName(NAME)
                + " of this version there, or name it with -D" + Tapper.LIBRARY_PATH_PROPERTY + "=FILE.");
    }

    /**
     * Loads the file named by the library path property. A JVM maps a file into one class loader only: in a
     * second one, a private copy is written out and loaded as the jar's copy is.
     */
    private static void loadExplicit(String file) {
        String named = file + " named by -D" + Tapper.LIBRARY_PATH_PROPERTY;
        String remedy = "Fix the path, or remove the property to use the library inside the jar.";
        if (!Files.isRegularFile(Path.of(file))) {
            throw linkError("cannot load the tembrix native library " + named + ": "
                    + (Files.exists(Path.of(file)) ? "not a file" : "no such file") + ". " + remedy, null);
        }
        try {
            System.load(file);
            loadedFile = file;
        } catch (UnsatisfiedLinkError | SecurityException e) {
            if (!(e instanceof UnsatisfiedLinkError) || !loadedElsewhere((UnsatisfiedLinkError) e)) {
                throw linkError("cannot load the tembrix native library " + named + ": "
                        + withoutName(e.getMessage(), file) + ". " + remedy, e);
            }
            byte[] content;
            try {
                content = Files.readAllBytes(Path.of(file));
            } catch (IOException | SecurityException f) {
                throw linkError("cannot load the tembrix native library " + named + ": another class loader has"
                        + " loaded it, and it cannot be read for a copy of this loader's own (" + reason(f) + "). Make"
                        + " it readable, or " + ONE_LOADER, f);
            }
            loadCopy(new Copy(named + " (loaded by another class loader, so this one loads a copy of it)",
                    content, suffix(file), ONE_LOADER));
        }
        checkInterface(named, remedy);
    }

    /**
     * Asks the library just loaded for the version of its interface, so that a file that is not a tembrix
     * library, or one of another version, fails here and not at the first call.
     */
    private static void checkInterface(String described, String remedy) {
        int version;
        try {
            version = interfaceVersion();
        } catch (UnsatisfiedLinkError e) {
            throw linkError("cannot load the tembrix native library: " + described
                    + " is not a tembrix library (it lacks the tembrix natives). " + remedy, e);
        }
        if (version != INTERFACE_VERSION) {
            throw linkError("cannot load the tembrix native library: " + described
                    + " is a tembrix library of another version (interface " + version + "; this jar needs "
                    + INTERFACE_VERSION + "). " + remedy, null);
        }
    }

    /** The system's message on a file it refused, without the file's name: the JDK names it once or twice. */
    private static String withoutName(String message, String file) {
        String reason = String.valueOf(message);
        while (reason.startsWith(file + ": ")) {
            reason = reason.substring(file.length() + 2);
        }
        return reason;
    }

    private static String suffix(String file) {
        String name = Path.of(file).getFileName().toString();
        int dot = name.lastIndexOf('.');
        return dot > 0 ? name.substring(dot) : "";
    }

    /** What the loader writes out and loads: the jar's library, or a copy of the file named by the library path. */
    static final class Copy {
        /** What is copied, for messages: "the copy inside the jar", say. */
        final String what;
        final byte[] content;
        /** The file name's suffix, such as ".so". */
        final String suffix;
        /** How to go on by hand when no folder works, as the end of a sentence. */
        final String byHand;

        Copy(String what, byte[] content, String suffix, String byHand) {
            this.what = what;
            this.content = content;
            this.suffix = suffix;
            this.byHand = byHand;
        }
    }

    private static void loadBundled(String resource) {
        byte[] content;
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw new IOException(resource + " is not in the jar");
            }
            content = in.readAllBytes();
        } catch (IOException e) {
            throw linkError("cannot load the tembrix native library: the jar's " + resource.substring(1)
                    + " cannot be read (" + reason(e) + "). The jar is damaged: use a tembrix jar as it was released.",
                    e);
        }
        loadCopy(new Copy("the copy inside the jar", content, resource.substring(resource.lastIndexOf('.')),
                byHand(resource)));
    }

    /** Writes the copy out into the first folder where it can be written and loaded, and loads it. */
    private static void loadCopy(Copy copy) {
        String chosen = System.getProperty(TMPDIR_PROPERTY);
        if (chosen != null && !chosen.isEmpty()) {
            // As with the library path: the user chose this folder, so no other is tried.
            try {
                loadFrom(copy, Path.of(chosen).toAbsolutePath());
                return;
            } catch (IOException | UnsatisfiedLinkError | SecurityException | InvalidPathException e) {
                throw linkError("cannot load the tembrix native library: the folder " + chosen + " named by -D"
                        + TMPDIR_PROPERTY + " cannot be used (" + reason(e) + ") for " + copy.what + ". Name a folder"
                        + " where this user may write files and load code and no other user may replace them, remove"
                        + " the property to use java.io.tmpdir, or " + copy.byHand, e);
            }
        }
        List<String> tried = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        // On Windows the copy stays (see loadKept), so the per-user folder comes first there.
        boolean windows = windows();
        for (int place = 0; place < 2; place++) {
            if ((place == 0) != windows) {
                String tmpdir = System.getProperty("java.io.tmpdir", "");
                try {
                    loadFrom(copy, Path.of(tmpdir).toAbsolutePath());
                    return;
                } catch (IOException | UnsatisfiedLinkError | SecurityException | InvalidPathException e) {
                    tried.add("java.io.tmpdir " + tmpdir + " (" + reason(e) + ")");
                    failures.add(e);
                }
                continue;
            }
            Path cache = cacheFolder();
            if (cache != null) {
                try {
                    createOwnerOnlyFolder(cache);
                    loadFrom(copy, cache);
                    return;
                } catch (IOException | UnsatisfiedLinkError | SecurityException e) {
                    tried.add("per-user cache folder " + cache + " (" + reason(e) + ")");
                    failures.add(e);
                }
            }
        }
        UnsatisfiedLinkError error = linkError("cannot load the tembrix native library for "
                + platformDescription() + ": " + copy.what + " could not be written out and loaded; tried: "
                + String.join("; ", tried) + ". Name a folder where this user may write files and load code with -D"
                + TMPDIR_PROPERTY + "=DIR, or " + copy.byHand, failures.get(0));
        failures.stream().skip(1).forEach(error::addSuppressed);
        throw error;
    }

    /**
     * The per-user cache folder for the copy, or null where there is none: {@code $XDG_CACHE_HOME/tembrix} or
     * {@code ~/.cache/tembrix} on Linux, {@code ~/Library/Caches/tembrix} on macOS, {@code %LOCALAPPDATA%\tembrix}
     * on Windows.
     */
    static Path cacheFolder() {
        String platform = platform();
        if (platform == null) {
            return null;
        }
        String home = System.getProperty("user.home", "");
        if (platform.equals("macos")) {
            return home.isEmpty() ? null : Path.of(home, "Library", "Caches", NAME);
        }
        if (windows()) {
            String local = System.getenv("LOCALAPPDATA");
            if (local != null && Path.of(local).isAbsolute()) {
                return Path.of(local, NAME);
            }
            return home.isEmpty() ? null : Path.of(home, "AppData", "Local", NAME);
        }
        String xdg = System.getenv("XDG_CACHE_HOME");
        if (xdg != null && xdg.startsWith("/")) { // a relative one is to be ignored
            return Path.of(xdg, NAME);
        }
        return home.isEmpty() ? null : Path.of(home, ".cache", NAME);
    }

    /**
     * Creates the folder, and any parent it lacks, owner-only; refuses one that others may write to. On Windows
     * the folder inherits its parent's access list: the per-user folders' lists admit this user alone.
     */
    private static void createOwnerOnlyFolder(Path folder) throws IOException {
        if (!FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            Files.createDirectories(folder);
            return;
        }
        Files.createDirectories(folder, PosixFilePermissions.asFileAttribute(OWNER_ONLY_FOLDER));
        Set<PosixFilePermission> permissions = Files.getPosixFilePermissions(folder);
        if (permissions.contains(PosixFilePermission.GROUP_WRITE)
                || permissions.contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new FileSystemException(folder.toString(), null, "other users may write to it (it is "
                    + PosixFilePermissions.toString(permissions) + "; make it owner-only with chmod 700)");
        }
    }

    private static void loadFrom(Copy copy, Path folder) throws IOException {
        if (windows()) {
            loadKept(copy, folder);
            return;
        }
        Path file = extract(copy, folder);
        try {
            System.load(file.toString());
            loadedFile = file.toString();
        } finally {
            // The loaded mapping outlives the file on the systems we build for, so no file is left behind.
            try {
                Files.deleteIfExists(file);
            } catch (IOException e) {
                file.toFile().deleteOnExit();
            }
        }
    }

    /**
     * Windows cannot delete a loaded DLL, so a copy written per run would stay behind each time. There the copy is
     * written once into the folder, under a name made from its content's hash ({@code tembrix-HASH.dll}), and
     * reused by every later run while its content matches. A file of that name is never written to or replaced,
     * since another process may have it loaded: one whose content differs (damaged, or planted) is left as it is
     * and the next name ({@code tembrix-HASH-2.dll}, and so on) is used, as it is for a second class loader of
     * this JVM, which cannot load the file that another class loader has loaded.
     */
    private static void loadKept(Copy copy, Path folder) throws IOException {
        if (!Files.isDirectory(folder)) {
            throw new NoSuchFileException(folder.toString(), null,
                    Files.exists(folder) ? "not a folder" : "no such folder");
        }
        String name = NAME + "-" + contentHash(copy.content);
        for (int n = 1; n <= KEPT_COPIES; n++) {
            Path file = folder.resolve(name + (n == 1 ? "" : "-" + n) + copy.suffix);
            if (!Files.exists(file, LinkOption.NOFOLLOW_LINKS)) {
                writeOnce(copy, file);
            }
            if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)
                    || !Arrays.equals(Files.readAllBytes(file), copy.content)) {
                continue;
            }
            try {
                System.load(file.toString());
                loadedFile = file.toString();
                return;
            } catch (UnsatisfiedLinkError e) {
                if (!loadedElsewhere(e)) {
                    throw e;
                }
            }
        }
        throw new FileSystemException(folder.toString(), null, "each of its " + KEPT_COPIES + " files for this "
                + "library (" + name + "*" + copy.suffix + ") differs from it or is loaded by another class loader");
    }

    /** Writes the file whole under a temporary name, then gives it its name unless another process did first. */
    private static void writeOnce(Copy copy, Path file) throws IOException {
        Path partial = file.resolveSibling(file.getFileName() + "." + Long.toUnsignedString(new SecureRandom()
                .nextLong()) + ".tmp");
        try {
            Files.write(partial, copy.content, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
            Files.move(partial, file); // never replaces: Windows moves only onto a free name
        } catch (FileAlreadyExistsException e) {
            // Another process wrote it: its content is checked like any other's.
        } finally {
            Files.deleteIfExists(partial);
        }
    }

    private static String contentHash(byte[] content) {
        try {
            byte[] digest = MessageDigest.getInstance("SHA-256").digest(content);
            StringBuilder hex = new StringBuilder();
            for (int i = 0; i < 16; i++) {
                hex.append(String.format("%02x", digest[i]));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    /** Whether the JVM refused a file because another class loader has loaded it. */
    private static boolean loadedElsewhere(UnsatisfiedLinkError e) {
        return String.valueOf(e.getMessage()).contains("already loaded in another classloader");
    }

    static boolean windows() {
        String platform = platform();
        return platform != null && platform.startsWith("windows");
    }

    /**
     * Writes the copy into a file created for it in the folder: new, randomly named and owner-only from the moment
     * it exists, and written through the descriptor that created it. The file is loaded again by its name, so a
     * folder where another user could put a file of theirs in its place is refused (see
     * {@link #refuseIfOthersMayReplace}). Returns that file.
     */
    static Path extract(Copy copy, Path folder) throws IOException {
        if (!Files.isDirectory(folder)) {
            throw new NoSuchFileException(folder.toString(), null,
                    Files.exists(folder) ? "not a folder" : "no such folder");
        }
        Set<OpenOption> options = Set.of(StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
        FileAttribute<?>[] ownerOnly = FileSystems.getDefault().supportedFileAttributeViews().contains("posix")
                ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(OWNER_ONLY_FILE)}
                : new FileAttribute<?>[0];
        SecureRandom random = new SecureRandom();
        for (int attempt = 1; ; attempt++) {
            Path file = folder.resolve("lib" + NAME + "-" + Long.toUnsignedString(random.nextLong()) + copy.suffix);
            try (SeekableByteChannel channel = Files.newByteChannel(file, options, ownerOnly)) {
                try {
                    refuseIfOthersMayReplace(folder, file);
                    ByteBuffer content = ByteBuffer.wrap(copy.content);
                    while (content.hasRemaining()) {
                        channel.write(content);
                    }
                } catch (IOException | RuntimeException e) {
                    Files.deleteIfExists(file);
                    throw e;
                }
                return file;
            } catch (FileAlreadyExistsException e) {
                if (attempt == 10) {
                    throw e;
                }
            }
        }
    }

    /**
     * Refuses a folder in which another user could rename the copy and put a file of their own in its place before
     * it is loaded: one that belongs to another user (root aside), or that group or others may write without the
     * sticky bit, or that lies in such a folder. {@code mine} is a file this process has just created there, whose
     * owner is this process's user. Where the file system has no Unix owners and modes, there is nothing to check.
     */
    private static void refuseIfOthersMayReplace(Path folder, Path mine) throws IOException {
        if (!FileSystems.getDefault().supportedFileAttributeViews().contains("unix")) {
            return;
        }
        int me = (Integer) Files.getAttribute(mine, "unix:uid", LinkOption.NOFOLLOW_LINKS);
        Path real = folder.toRealPath();
        for (Path at = real; at != null; at = at.getParent()) {
            int owner = (Integer) Files.getAttribute(at, "unix:uid");
            int mode = (Integer) Files.getAttribute(at, "unix:mode");
            String which = at.equals(real) ? "it" : at + ", a folder it is in,";
            if (owner != me && owner != 0) {
                throw new FileSystemException(folder.toString(), null, "other users may replace files in it: "
                        + which + " belongs to user " + owner);
            }
            if ((mode & 022) != 0 && (mode & 01000) == 0) {
                throw new FileSystemException(folder.toString(), null, "other users may replace files in it: "
                        + which + " is " + PosixFilePermissions.toString(Files.getPosixFilePermissions(at))
                        + " without the sticky bit (chmod +t " + at + " or chmod go-w " + at + " mends that)");
            }
        }
    }

    private static String byHand(String resource) {
        String entry = resource.substring(1);
        String file = entry.substring(entry.lastIndexOf('/') + 1);
        return "extract the library by hand into a folder DIR where code may be loaded (unzip -j " + jarPath() + " "
                + entry + " -d DIR) and name it with -D" + Tapper.LIBRARY_PATH_PROPERTY + "=DIR/" + file + ".";
    }

    private static String jarPath() {
        try {
            URL location = NativeLibrary.class.getProtectionDomain().getCodeSource().getLocation();
            String path = Path.of(location.toURI()).toString();
            if (path.endsWith(".jar")) {
                return path;
            }
        } catch (RuntimeException | URISyntaxException e) {
            // Not a plain file (or not telling): fall back to a description.
        }
        return "tembrix.jar";
    }

    /** The reason an attempt failed, in words: NIO's exceptions for a missing file or denied access carry none. */
    private static String reason(Throwable e) {
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() == null) {
            String why = e instanceof NoSuchFileException ? "no such file or folder"
                    : e instanceof AccessDeniedException ? "permission denied"
                    : e instanceof NotDirectoryException ? "not a folder"
                    : e instanceof FileAlreadyExistsException ? "already exists"
                    : e.getClass().getSimpleName();
            return ((FileSystemException) e).getFile() + ": " + why;
        }
        if (e.getMessage() == null) {
            return e.toString();
        }
        // The JDK names the file twice when the system refuses it: "F: F: failed to map segment ...".
        String message = e.getMessage().replaceFirst("^(.+?): \\1: ", "$1: ");
        if (message.contains("failed to map segment")) {
            message += " (a file system mounted noexec?)";
        }
        return message;
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
        error.initCause(cause);
        return error;
    }

    /**
     * The jar's directory for this platform: {@code linux-x86_64}, {@code linux-aarch64}, {@code linux-armhf},
     * {@code macos}, {@code windows-x86_64} or {@code windows-aarch64}.
     */
    static String platform() {
        return platform(System.getProperty("os.name", ""), System.getProperty("os.arch", ""));
    }

    /**
     * The jar's directory for the given {@code os.name} and {@code os.arch}, or null if the jar carries no
     * library for them. macOS has one universal library for both of its architectures.
     */
    static String platform(String osName, String osArch) {
        String os = osName.toLowerCase(Locale.ROOT);
        String arch = osArch.toLowerCase(Locale.ROOT);
        boolean x86_64 = arch.equals("amd64") || arch.equals("x86_64");
        boolean aarch64 = arch.equals("aarch64") || arch.equals("arm64");
        boolean arm32 = arch.equals("arm") || arch.equals("armv7l") || arch.equals("armhf");
        if (os.startsWith("linux")) {
            return x86_64 ? "linux-x86_64" : aarch64 ? "linux-aarch64" : arm32 ? "linux-armhf" : null;
        }
        if (os.startsWith("mac os x") || os.startsWith("macos")) {
            return x86_64 || aarch64 ? "macos" : null;
        }
        if (os.startsWith("windows")) {
            return x86_64 ? "windows-x86_64" : aarch64 ? "windows-aarch64" : null;
        }
        return null;
    }

    static String bundledResource() {
        String platform = platform();
        if (platform == null) {
            return null;
        }
        String file = platform.equals("macos") ? "lib" + NAME + ".jnilib"
                : platform.startsWith("windows") ? NAME + ".dll" : "lib" + NAME + ".so";
        return "/drovak/android/native/" + platform + "/" + file;
    }

    private static String platformDescription() {
        return System.getProperty("os.name") + " " + System.getProperty("os.arch");
    }
}
