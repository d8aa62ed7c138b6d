package com.tarvex.pelk.quentrel.tool;

/** A command line the tool cannot run: an unknown command or option, or a missing or bad argument. */
final class UsageException extends Exception {
  private static final long serialVersionUID = 1L;
  private final String command;

  /**
   * @param command the command whose usage to show, or null for the tool's
   * @param message what is wrong, in a few words
   */
  UsageException(String command, String message) {
    super(message);
    this.command = command;
  }

  String command() {
    return command;
  }
}
