package com.tarvex.pelk.quentrel.tool;

import java.util.List;

/** Loads the native library once, through the package's own classes, and remembers a failure. */
final class Library {
  private static final List<String> CLASSES =
      List.of("com.tarvex.pelk.quentrel.SSPI", "com.tarvex.pelk.quentrel.UserAuth", "com.tarvex.pelk.quentrel.WinUtil");
  private static boolean tried;
  private static Throwable failure;

  private Library() {}

  /** Initialises the three classes; returns why the library could not be loaded, or null. */
  static synchronized Throwable load() {
    if (!tried) {
      tried = true;
      try {
        for (String name : CLASSES) {
          Class.forName(name, true, Library.class.getClassLoader());
        }
      } catch (ClassNotFoundException | LinkageError e) {
        failure = e;
      }
    }
    return failure;
  }
}
