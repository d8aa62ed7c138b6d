package com.tarvex.pelk.quentrel.tool;

/** A check that failed for a reason the tool states itself; its message is shown as it is. */
final class Failure extends Exception {
  private static final long serialVersionUID = 1L;

  Failure(String message) {
    super(message);
  }

  /** How a failure reads in a report: the exception's type, then its message when it has one. */
  static String describe(Throwable thrown) {
    if (thrown instanceof Failure) {
      return thrown.getMessage();
    }
    String type = thrown.getClass().getSimpleName();
    String message = thrown.getMessage();
    return message == null || message.isEmpty() ? type : type + ": " + message;
  }
}
