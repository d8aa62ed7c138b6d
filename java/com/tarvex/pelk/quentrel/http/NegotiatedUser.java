package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.io.Serializable;
import java.security.Principal;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Map;

/**
 * A client that authenticated with Negotiate: its account name and its answers for groups. The
 * groups the server declared are answered when the client authenticates; any other group is
 * asked of the client's context while the request that authenticated it runs. It is serializable
 * without its context, so that a container can keep it in a session: it then answers what it
 * answered before.
 */
public final class NegotiatedUser implements Principal, Serializable {
  private static final long serialVersionUID = 1L;
  private final String name;
  private final String packageName;
  private final LinkedHashMap<String, Boolean> groups = new LinkedHashMap<>();
  private final LinkedHashMap<String, String> unanswered = new LinkedHashMap<>();
  private final long authenticationEnds;
  private transient volatile ServerContext context;
  private transient volatile LogLines log;

  NegotiatedUser(String name, String packageName, ServerContext context, LogLines log, long authenticationEnds) {
    this.authenticationEnds = authenticationEnds;
    this.name = name;
    this.packageName = packageName;
    this.context = context;
    this.log = log;
  }

  /** The account name as the security package gives it; a local account without its computer name. */
  @Override
  public String getName() {
    return name;
  }

  /** The security package that authenticated the client. */
  public String packageName() {
    return packageName;
  }

  /**
   * Whether the client is a member of the group ("DOMAIN\\group" or a local group). A name that is
   * no group, or a membership the system cannot test, answers false; {@link #unanswered()} says why.
   *
   * @throws IllegalStateException for a group the server did not declare, once the request that
   *     authenticated the client is over and its context is gone
   */
  public synchronized boolean isMember(String group) {
    Boolean known = groups.get(group);
    if (known != null) {
      return known;
    }
    ServerContext current = context;
    if (current == null || current.isClosed()) {
      throw new IllegalStateException("the group " + group + " was not declared to the authenticator, and the"
          + " client's context is released at the end of the request that authenticated it");
    }
    boolean member = false;
    try {
      member = current.isMember(group);
    } catch (GroupNotFoundException e) {
      // A group that cannot be tested counts as one the client is not in: the client did
      // authenticate, and no access depends on an answer nobody has.
      unanswered.put(group, "no such group");
      logLine("no-group", "Negotiate: {0} is not a group here; answered as not a member", group, null);
    } catch (WinAuthException e) {
      unanswered.put(group, e.getMessage());
      logLine("group-untested", "Negotiate: cannot test {1}''s membership of {0} ({2}); answered as not a member",
          group, e.getMessage());
    }
    groups.put(group, member);
    return member;
  }

  /**
   * Runs {@code work} as the client on the calling thread, which is itself again when this
   * returns or throws ({@link ServerContext#runAs}). Only while the request that authenticated the
   * client runs, as long as its context is open.
   *
   * @throws IllegalStateException once the client's context is released
   */
  public <T, E extends Exception> T runAs(ServerContext.Work<T, E> work) throws E, WinAuthException {
    ServerContext current = context;
    if (current == null || current.isClosed()) {
      throw new IllegalStateException("the client's context is released at the end of the request that"
          + " authenticated it; nothing can run as the client after it");
    }
    return current.runAs(work);
  }

  private void logLine(String kind, String pattern, String group, String why) {
    LogLines lines = log;
    if (lines != null) {
      lines.log(kind, System.Logger.Level.WARNING, pattern, group, name, why);
    }
  }

  /** The groups answered so far, in the order they were asked. */
  public synchronized Map<String, Boolean> groups() {
    return Collections.unmodifiableMap(new LinkedHashMap<>(groups));
  }

  /** The groups whose membership could not be tested (answered as not a member), with the reason. */
  public synchronized Map<String, String> unanswered() {
    return Collections.unmodifiableMap(new LinkedHashMap<>(unanswered));
  }

  synchronized void unanswered(String group, String reason) {
    unanswered.put(group, reason);
  }

  synchronized void answer(String group, boolean member) {
    groups.put(group, member);
  }

  /**
   * When the client's authentication ends (for Kerberos the end of its ticket), in milliseconds
   * since 1970; {@link Long#MAX_VALUE} when the package did not say. No session outlives it.
   */
  public long authenticationEndsMillis() {
    return authenticationEnds;
  }

  void forgetContext() {
    context = null;
  }

  @Override
  public String toString() {
    return name;
  }
}
