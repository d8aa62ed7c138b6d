package com.tarvex.pelk.quentrel;

/** The account named to {@link UserAuth#CreateUserContext} does not exist. Its message is empty. */
public class UserNotFoundException extends WinAuthException {
  private static final long serialVersionUID = 1L;

  /**
   * Creates the exception with the text the native library supplies.
   *
   * @param message the message, as the native library spells it
   */
  public UserNotFoundException(String message) {
    super(message);
  }
}
