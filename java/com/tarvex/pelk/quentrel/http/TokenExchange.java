package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.lang.System.Logger.Level;
import java.util.Base64;
import java.util.List;

/**
 * One leg of a Negotiate exchange: the token taken to the connection's waiting context or to a new
 * one, and the context released, parked for the client's next leg, or handed to the outcome.
 */
final class TokenExchange {
  // SEC_E_BAD_BINDINGS: the token's channel bindings are not this channel's.
  private static final String BAD_BINDINGS = "Platform error: 80090346";

  private final String packageName;
  private final List<String> groups;
  private final ChannelBinding.Mode channelBinding;
  private final PendingExchanges pending;
  private final LogLines log;

  TokenExchange(String packageName, List<String> groups, ChannelBinding.Mode channelBinding, PendingExchanges pending,
      LogLines log) {
    this.packageName = packageName;
    this.groups = groups;
    this.channelBinding = channelBinding;
    this.pending = pending;
    this.log = log;
  }

  private ServerContext open(byte[] channelBindings) throws WinAuthException {
    return channelBinding == ChannelBinding.Mode.NONE || channelBindings == null ? ServerContext.open(packageName)
        : ServerContext.openBound(packageName, channelBindings, channelBinding == ChannelBinding.Mode.ACCEPT);
  }

  Outcome step(Object connection, Object peer, byte[] token, byte[] channelBindings) {
    if (channelBinding == ChannelBinding.Mode.REQUIRE && channelBindings == null) {
      log.log("unbound-channel", Level.WARNING, "Negotiate: {0}: channel binding is required and the request came"
          + " over no TLS channel; refused (serve this site over HTTPS, or set channel binding to accept)",
          connection);
      return Outcome.challenge(null);
    }
    ServerContext context = pending.take(connection);
    try {
      if (context != null) {
        try {
          return advance(connection, peer, context, token);
        } catch (WinAuthException continuationRefused) {
          // A client that starts over on this connection (after a time limit, or a new client on
          // a reused address) sends a first token: it gets a context of its own.
          context.close();
          log.log("restart", Level.DEBUG, "Negotiate: {0}: the waiting exchange refused the token ({1}); starting"
              + " a new one", connection, continuationRefused.getMessage());
        }
      }
      try {
        context = open(channelBindings);
      } catch (WinAuthException e) {
        log.log("no-credentials", Level.ERROR, "Negotiate: {0}", LogLines.words(AcceptorCheck.noCredentials(packageName, e)));
        return Outcome.unavailable(0);
      }
      return advance(connection, peer, context, token);
    } catch (WinAuthException refused) {
      context.close();
      if (BAD_BINDINGS.equals(refused.getMessage())) {
        log.log("bad-bindings", Level.WARNING, "Negotiate: {0}: the client''s token is bound to another TLS channel"
            + (channelBinding == ChannelBinding.Mode.REQUIRE ? " or to none" : "") + " ({1}): a relayed sign-on,"
            + " or a proxy that ends TLS before this server; refused", connection, refused.getMessage());
        return Outcome.challenge(null);
      }
      log.log("refused", Level.INFO, "Negotiate: {0}: the package refused the client''s token: {1}", connection,
          LogLines.words(AcceptorCheck.refused(refused, token)));
      return Outcome.challenge(null);
    } catch (RuntimeException | Error e) {
      if (context != null) {
        context.close();
      }
      throw e;
    }
  }

  // One leg on a context that is either released or handed over (to the pending table or the
  // outcome) before this returns normally; on an exception the caller releases it.
  private Outcome advance(Object connection, Object peer, ServerContext context, byte[] token)
      throws WinAuthException {
    SecurityContext.Step step = context.accept(token);
    byte[] reply = step.token();
    if (!step.complete()) {
      if (reply.length == 0) {
        throw new WinAuthException("the package asks for another leg without a token for the client");
      }
      int retryAfter = pending.park(connection, peer, context);
      if (retryAfter > 0) {
        return Outcome.unavailable(retryAfter);
      }
      return Outcome.challenge(Base64.getEncoder().encodeToString(reply));
    }
    NegotiatedUser user = NegotiatedUser.signedOn(context, packageName, Negotiator.SCHEME, groups, log);
    return Outcome.authenticated(user, context, reply.length == 0 ? null : Base64.getEncoder().encodeToString(reply));
  }
}
