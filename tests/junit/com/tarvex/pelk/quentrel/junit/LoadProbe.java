package com.tarvex.pelk.quentrel.junit;

import com.tarvex.pelk.quentrel.WinUtil;

/** Loads the library as an application does, by its first call, and says what it answered. */
public final class LoadProbe {
  private LoadProbe() {}

  public static void main(String[] args) {
    try {
      System.out.println("NetBIOS name: " + WinUtil.GetComputerNameNetBIOS());
    } catch (Throwable e) {
      // Inform the parent whichever way the load failed, with the cause's words.
      Throwable cause = e.getCause() != null ? e.getCause() : e;
      System.out.println("load failed: " + e + " / " + cause);
      System.exit(3);
    }
  }
}
