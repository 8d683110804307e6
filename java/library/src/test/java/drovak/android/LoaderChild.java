package drovak.android;

import java.lang.reflect.Field;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;

/** Loader scenarios that NativeLibraryTest runs in a JVM of its own. */
public final class LoaderChild {

    private LoaderChild() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "copy-permissions": {
                // Writes the jar's library out into the given folder as the loader does.
                NativeLibrary.Copy copy = new NativeLibrary.Copy("the copy inside the jar",
                        LoaderChild.class.getResourceAsStream(NativeLibrary.bundledResource()).readAllBytes(),
                        ".so", "");
                Path file = NativeLibrary.extract(copy, Path.of(args[1]));
                System.out.println("copy " + PosixFilePermissions.toString(Files.getPosixFilePermissions(file)));
                break;
            }
            case "two-loaders":
                // The library jar (args[1]) in two class loaders of its own, as two plugins would have it.
                for (int i = 1; i <= 2; i++) {
                    URLClassLoader loader = new URLClassLoader(new URL[] {Path.of(args[1]).toUri().toURL()},
                            ClassLoader.getPlatformClassLoader());
                    try {
                        Class.forName("drovak.android.Tapper", true, loader);
                        Field loaded = loader.loadClass("drovak.android.NativeLibrary").getDeclaredField("loadedFile");
                        loaded.setAccessible(true);
                        System.out.println("loader " + i + " loaded " + loaded.get(null));
                    } catch (ExceptionInInitializerError e) {
                        System.out.println("loader " + i + " failed: " + e.getCause());
                    } catch (LinkageError e) {
                        System.out.println("loader " + i + " failed: " + e);
                    }
                }
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }
}
