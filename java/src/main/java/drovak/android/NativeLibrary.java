package drovak.android;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads the native tembrix library: the file named by the system property, if set, and nothing else; otherwise
 * the library path, then the copy inside the jar.
 */
final class NativeLibrary {

    static final String NAME = "tembrix";

    private NativeLibrary() {}

    static void load() {
        List<String> tried = new ArrayList<>();
        String explicit = System.getProperty(Tapper.LIBRARY_PATH_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            // The user named this file: falling back to another copy would hide their mistake.
            String file = Path.of(explicit).toAbsolutePath().toString();
            try {
                System.load(file);
                return;
            } catch (UnsatisfiedLinkError | SecurityException e) {
                UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot load the tembrix native library " + file
                        + " named by -D" + Tapper.LIBRARY_PATH_PROPERTY + ": " + e.getMessage()
                        + ". Fix the path, or remove the property to use the library inside the jar.");
                error.initCause(e);
                throw error;
            }
        }
        try {
            System.loadLibrary(NAME);
            return;
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add("System.loadLibrary(\"" + NAME + "\") on java.library.path="
                    + System.getProperty("java.library.path") + " (" + e.getMessage() + ")");
        }
        String resource = bundledResource();
        if (resource == null) {
            tried.add("bundled library (the jar has none for this platform; it has " + SUPPORTED + ")");
        } else {
            try {
                loadBundled(resource);
                return;
            } catch (IOException | UnsatisfiedLinkError | SecurityException e) {
                tried.add("bundled " + resource + " (" + e.getMessage() + ")");
            }
        }
        throw new UnsatisfiedLinkError("cannot load the tembrix native library for " + platformDescription()
                + "; tried: " + String.join("; ", tried)
                + ". Set -D" + Tapper.LIBRARY_PATH_PROPERTY + "=/path/to/" + System.mapLibraryName(NAME)
                + " or put it on java.library.path.");
    }

    /** The platforms whose library the jar carries, for messages. */
    static final String SUPPORTED = "Linux on x86-64, aarch64 or 32-bit ARM (ARMv7 hard-float) (glibc 2.17 or "
            + "later), macOS 11 or later on x86-64 or arm64";

    /**
     * The jar's directory for this platform: {@code linux-x86_64}, {@code linux-aarch64}, {@code linux-armhf} or
     * {@code macos}.
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
        return null;
    }

    static String bundledResource() {
        String platform = platform();
        if (platform == null) {
            return null;
        }
        String file = platform.equals("macos") ? "lib" + NAME + ".jnilib" : "lib" + NAME + ".so";
        return "/drovak/android/native/" + platform + "/" + file;
    }

    private static String platformDescription() {
        return System.getProperty("os.name") + " " + System.getProperty("os.arch");
    }

    private static void loadBundled(String resource) throws IOException {
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw new IOException("not in the jar");
            }
            String suffix = resource.substring(resource.lastIndexOf('.'));
            Path file = Files.createTempFile("libtembrix-", suffix);
            try {
                Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
                System.load(file.toAbsolutePath().toString());
            } finally {
                // The loaded mapping outlives the file on the systems we build for, so no temporary file is left.
                Files.deleteIfExists(file);
            }
        }
    }
}
