package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.UserNotFoundException;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.io.Serializable;
import java.security.Principal;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A client that authenticated with Negotiate: its account name and its answers for groups. The
 * groups the server declared are answered from the client's token when it authenticates; any
 * other group from the groups the directory gives its account, when first asked. It holds no
 * context and is serializable, so that a container can keep it in a session: it then answers
 * what it answered before.
 */
public final class NegotiatedUser implements Principal, Serializable {
  // 2 since the user carries its scheme: a user kept by an earlier version, which could be a Basic
  // sign-on with no word of it, is refused rather than read as a Negotiate one.
  private static final long serialVersionUID = 2L;
  // Answers kept for one client at most; beyond, a group is asked again each time, with the same answer.
  private static final int MAX_ANSWERS = 256;
  private final String name;
  private final String packageName;
  private final String scheme;
  private final LinkedHashMap<String, Boolean> groups = new LinkedHashMap<>();
  private final LinkedHashMap<String, String> unanswered = new LinkedHashMap<>();
  private final long authenticationEnds;
  private transient volatile ServerContext context;
  private transient volatile LogLines log;

  NegotiatedUser(String name, String packageName, String scheme, ServerContext context, LogLines log,
      long authenticationEnds) {
    this.authenticationEnds = authenticationEnds;
    this.scheme = scheme;
    this.context = context;
    this.name = name;
    this.packageName = packageName;
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
   * The HTTP authentication scheme the client signed on with: "Negotiate", or "Basic" for a
   * password checked by the KDC. A request that goes on in a session keeps its sign-on's scheme.
   */
  public String scheme() {
    return scheme;
  }

  /**
   * Whether the client is a member of a group: "DOMAIN\\group", a group of the client's own
   * domain by its name alone, or a local or built-in group. The answer is the same on every
   * request of a session: a group the server declared was answered from the client's token when
   * it signed on; any other group is answered from the groups the directory gives the client's
   * account, and kept with the session. A name that is no group, or a membership the system cannot
   * test, answers false with a log line; {@link #unanswered()} says why.
   */
  public synchronized boolean isMember(String group) {
    Boolean known = groups.get(group);
    if (known != null) {
      return known;
    }
    boolean member = fromDirectory(group);
    if (groups.size() < MAX_ANSWERS) {
      groups.put(group, member);
    }
    return member;
  }

  /**
   * The client of a context that has just been established, with the server's declared groups
   * answered from its token while the context is there to ask.
   */
  static NegotiatedUser signedOn(ServerContext context, String packageName, String scheme, List<String> declared,
      LogLines log) throws WinAuthException {
    NegotiatedUser user = new NegotiatedUser(context.clientName(), packageName, scheme, context, log,
        endOf(context, packageName, log));
    for (String group : declared) {
      user.answerFromToken(group, context);
    }
    return user;
  }

  // When the client's authentication ends, in milliseconds; Long.MAX_VALUE when the package does
  // not say (the configured session lifetime is then the only bound).
  private static long endOf(ServerContext context, String packageName, LogLines log) {
    try {
      java.time.Instant end = context.expiry();
      return end.equals(java.time.Instant.MAX) ? Long.MAX_VALUE : end.toEpochMilli();
    } catch (WinAuthException | ArithmeticException e) {
      log.log("no-expiry", System.Logger.Level.DEBUG, "Negotiate: the package does not say when {0}''s authentication ends ({1});"
          + " the session lifetime alone bounds its session", packageName, e.getMessage());
      return Long.MAX_VALUE;
    }
  }

  // A declared group's answer, from the token of the client's context while it is open.
  void answerFromToken(String group, ServerContext context) {
    String name = GroupNames.resolve(group, this.name);
    boolean member = false;
    if (name == null) {
      unknown(group);
    } else {
      try {
        member = context.isMember(name);
      } catch (GroupNotFoundException e) {
        unknown(group);
      } catch (WinAuthException e) {
        untested(group, e.getMessage());
      }
    }
    answer(group, member);
  }

  private boolean fromDirectory(String group) {
    String name = GroupNames.resolve(group, this.name);
    String account = GroupNames.account(this.name);
    if (name == null) {
      unknown(group);
      return false;
    }
    if (account == null) {
      untested(group, "no account of " + this.name + " to ask the directory about");
      return false;
    }
    int handle = 0;
    try {
      handle = UserAuth.CreateUserContext(account);
      return UserAuth.IsGroupMember(handle, name);
    } catch (GroupNotFoundException e) {
      unknown(group);
    } catch (WinAuthException e) {
      untested(group, e instanceof UserNotFoundException ? "no account " + account : e.getMessage());
    } finally {
      if (handle != 0) {
        UserAuth.FreeHandle(handle);
      }
    }
    return false;
  }

  private void unknown(String group) {
    if (unanswered.size() < MAX_ANSWERS) {
      unanswered.put(group, "no such group");
    }
    logLine("unknown-group", "Negotiate: no group is named {0} (asked about {1}); answered as not a member", group,
        null);
  }

  private void untested(String group, String why) {
    if (unanswered.size() < MAX_ANSWERS) {
      unanswered.put(group, why);
    }
    logLine("group-untested", "Negotiate: cannot test {1}''s membership of {0} ({2}); answered as not a member",
        group, why);
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
