package com.tarvex.pelk.quentrel;

/** The group named to a membership test does not exist or names something other than a group. Its message is empty. */
public class GroupNotFoundException extends WinAuthException {
  private static final long serialVersionUID = 1L;

  /**
   * Creates the exception with the text the native library supplies.
   *
   * @param message the message, as the native library spells it
   */
  public GroupNotFoundException(String message) {
    super(message);
  }
}
