package com.tarvex.pelk.quentrel;

/** A failure of an authentication or authorization operation: misuse of a handle or state, or a Windows status reported as "Platform error: xxxxxxxx". */
public class WinAuthException extends Exception {
  private static final long serialVersionUID = 1L;

  /**
   * Creates the exception with the text the native library supplies.
   *
   * @param message the message, as the native library spells it
   */
  public WinAuthException(String message) {
    super(message);
  }
}
