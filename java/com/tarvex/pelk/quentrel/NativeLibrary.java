package com.tarvex.pelk.quentrel;

/** Loads the native library once for the three classes that declare its operations. */
final class NativeLibrary {
  static final String NAME = "quentrel";
  private static boolean loaded;

  private NativeLibrary() {}

  static synchronized void load() {
    if (loaded) {
      return;
    }
    System.loadLibrary(NAME);
    loaded = true;
  }
}
