package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ServerContext;
import java.lang.System.Logger.Level;

/**
 * A request's identity never outlives it: every server flavour calls {@link #end} when a request
 * begins and when it ends, on the request's thread, so that an impersonation scope a handler left
 * open (an exception past a missing try-with-resources) does not make the thread's next request,
 * another client's, run as the first client with what that client delegated.
 */
public final class RequestScopes {
  private RequestScopes() {}

  /**
   * Ends the scope the calling thread was left in, if any ({@link
   * ServerContext.Impersonation#endLeftover}), and says so in the log, for it is a handler's fault.
   *
   * @param when "at the end of the request" or "before the next request", for the log line
   * @throws IllegalStateException when the system cannot return the thread to the process; the
   *     request must then not go on
   */
  public static void end(LogLines log, String when) {
    int handle = ServerContext.Impersonation.endLeftover();
    if (handle != 0) {
      log.log("scope-left-open", Level.WARNING, "Negotiate: a handler left its thread acting as the client of context"
          + " {0} (an impersonation scope not closed); ended {1}, the thread is the process again", handle, when);
    }
  }
}
