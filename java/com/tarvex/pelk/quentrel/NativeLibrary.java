package com.tarvex.pelk.quentrel;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads the native library once for the classes that declare its operations.
 *
 * <p>A library on {@code java.library.path} always wins. Otherwise the copy this jar carries for
 * the running platform is extracted into a new private folder and loaded from there. The folder is
 * made under the folder that the system property {@value #FOLDER_PROPERTY} names, or else under
 * {@code java.io.tmpdir}; it must allow running code, which a temporary folder mounted without
 * execute rights does not.
 */
final class NativeLibrary {
  static final String NAME = "quentrel";
  /** The system property naming the folder under which the packed library is extracted. */
  static final String FOLDER_PROPERTY = "quentrel.native.dir";
  // Under it, one folder per platform holds the files and a list of them ("files"), one a line.
  private static final String RESOURCES = "/com/tarvex/pelk/quentrel/native/";
  private static boolean loaded;

  private NativeLibrary() {}

  static synchronized void load() {
    if (loaded) {
      return;
    }
    try {
      System.loadLibrary(NAME);
    } catch (UnsatisfiedLinkError notOnPath) {
      loadPacked(notOnPath);
    }
    loaded = true;
  }

  /** The platform's folder name in the jar, such as "linux-x86_64" or "windows-x86". */
  static String platform() {
    String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
    if (os.startsWith("windows")) {
      os = "windows";
    } else if (os.startsWith("mac")) {
      os = "macos";
    } else {
      os = os.replace(' ', '_');
    }
    String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
    switch (arch) {
      case "amd64":
      case "x86_64":
        arch = "x86_64";
        break;
      case "x86":
      case "i386":
      case "i486":
      case "i586":
      case "i686":
        arch = "x86";
        break;
      case "arm64":
      case "aarch64":
        arch = "aarch64";
        break;
      default:
        break;
    }
    return os + "-" + arch;
  }

  private static void loadPacked(UnsatisfiedLinkError notOnPath) {
    String platform = platform();
    String base = RESOURCES + platform + "/";
    List<String> files = packedFiles(base);
    if (files.isEmpty()) {
      throw failure("the native library " + NAME + " is not on java.library.path (" + notOnPath.getMessage()
          + ") and this jar carries none for " + platform, null);
    }
    String chosen = System.getProperty(FOLDER_PROPERTY);
    String parent = chosen != null && !chosen.isEmpty() ? chosen : System.getProperty("java.io.tmpdir");
    Path folder;
    try {
      // A new folder of a name nobody can predict, readable by this user only where the file
      // system has owners, so no other user can swap the library before it is loaded.
      folder = Files.createTempDirectory(Paths.get(parent), NAME + "-");
    } catch (IOException | RuntimeException e) {
      throw failure("cannot make a folder for the native library under " + parent + " (" + e
          + "); name a folder this user may write to with -D" + FOLDER_PROPERTY + "=FOLDER", e);
    }
    try {
      for (String file : files) {
        try (InputStream in = NativeLibrary.class.getResourceAsStream(base + file)) {
          if (in == null) {
            throw new IOException("the jar lists " + file + " for " + platform + " but does not carry it");
          }
          Files.copy(in, folder.resolve(file));
        }
      }
      // The library finds the files it depends on beside itself.
      Path library = folder.resolve(System.mapLibraryName(NAME));
      try {
        System.load(library.toAbsolutePath().toString());
      } catch (UnsatisfiedLinkError e) {
        throw failure("cannot load the native library extracted to " + folder + ": " + e.getMessage()
            + ". The folder may be on a file system mounted without execute rights (noexec), as temporary"
            + " folders on some servers are; name another folder with -D" + FOLDER_PROPERTY + "=FOLDER", e);
      }
    } catch (IOException e) {
      throw failure("cannot extract the native library into " + folder + " (" + e
          + "); name another folder with -D" + FOLDER_PROPERTY + "=FOLDER", e);
    } finally {
      removeWhenPossible(folder, files);
    }
  }

  private static List<String> packedFiles(String base) {
    List<String> files = new ArrayList<>();
    try (InputStream in = NativeLibrary.class.getResourceAsStream(base + "files")) {
      if (in == null) {
        return files;
      }
      BufferedReader reader = new BufferedReader(new InputStreamReader(in, StandardCharsets.UTF_8));
      for (String line = reader.readLine(); line != null; line = reader.readLine()) {
        String file = line.trim();
        // Plain names only: nothing may land outside the private folder.
        if (!file.isEmpty() && !file.contains("/") && !file.contains("\\") && !file.startsWith(".")) {
          files.add(file);
        }
      }
    } catch (IOException e) {
      files.clear();
    }
    return files;
  }

  // A loaded library stays mapped after its file is gone, so on most systems the folder can go at
  // once; where an open library cannot be deleted (Windows), it goes when the JVM exits, if it can.
  private static void removeWhenPossible(Path folder, List<String> files) {
    boolean removed = true;
    for (String file : files) {
      try {
        Files.deleteIfExists(folder.resolve(file));
      } catch (IOException | RuntimeException e) {
        removed = false;
      }
    }
    try {
      Files.deleteIfExists(folder);
    } catch (IOException | RuntimeException e) {
      removed = false;
    }
    if (!removed) {
      // Deleted at exit in the reverse order of registration: the files, then the folder.
      folder.toFile().deleteOnExit();
      for (String file : files) {
        folder.resolve(file).toFile().deleteOnExit();
      }
    }
  }

  private static UnsatisfiedLinkError failure(String message, Throwable cause) {
    UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
    if (cause != null) {
      error.initCause(cause);
    }
    return error;
  }
}
