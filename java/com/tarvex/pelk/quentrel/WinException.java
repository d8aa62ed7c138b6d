package com.tarvex.pelk.quentrel;

/** A failure of a host utility; thrown only by {@link WinUtil#GetCommonAppDataFilePath}. */
public class WinException extends Exception {
  private static final long serialVersionUID = 1L;

  /**
   * Creates the exception with the text the native library supplies.
   *
   * @param message the message, as the native library spells it
   */
  public WinException(String message) {
    super(message);
  }
}
