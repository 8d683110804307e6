package drovak.android;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;

/** Writes the jar's library out into the given folder as the loader does, and prints the copy's permissions. */
public final class LoaderChild {

    private LoaderChild() {}

    public static void main(String[] args) throws Exception {
        Path copy = NativeLibrary.extract(NativeLibrary.bundledResource(), Path.of(args[0]));
        System.out.println("copy " + PosixFilePermissions.toString(Files.getPosixFilePermissions(copy)));
    }
}
