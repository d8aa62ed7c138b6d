package com.tarvex.pelk.quentrel.spring;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.http.NegotiateClient;
import com.tarvex.pelk.quentrel.http.Negotiator;
import com.tarvex.pelk.quentrel.http.SignOn;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.springframework.security.core.GrantedAuthority;

/**
 * The Spring provider on the simulated host, whose Negotiate takes two HTTP legs: the
 * continuation answered as a refusal that carries the server's token, the authorities of the
 * declared groups, the context kept for delegation and released when the request ends, and the
 * answers to tokens that cannot sign on.
 */
class SignOnProviderTest {
  private static final List<String> GROUPS = List.of("BUILTIN\\Users", "BUILTIN\\Administrators");
  private final Negotiator negotiator = Negotiator.builder().groups(GROUPS).sessions(false).build();
  private final NegotiateAuthenticationProvider provider = new NegotiateAuthenticationProvider(negotiator, GROUPS, true);

  @AfterEach
  void close() {
    negotiator.close();
  }

  /** A request with no session, on one connection of the test's making. */
  static final class Request extends GateRequest {
    Request(Object connection, String... authorization) {
      this(connection, false, authorization);
    }

    Request(Object connection, boolean basic, String... authorization) {
      super(List.of(authorization), "127.0.0.1", connection, true, basic);
    }

    @Override
    public List<SignOn> sessions() {
      return List.of();
    }

    @Override
    public void forgetSessions() {}

    @Override
    public boolean keep(SignOn signOn, boolean renewed) {
      return false;
    }
  }

  @Test
  void twoLegSignOnGivesTheMemberGroupsAndTheirSidsAndKeepsTheContextForTheRequest() throws Exception {
    int open = SecurityContext.openCount();
    Object connection = new Object();
    List<Integer> statuses = new ArrayList<>();
    NegotiatedAuthentication admitted = null;
    try (NegotiateClient client = NegotiateClient.start("Negotiate", "HTTP/web.example.test", 0)) {
      while (admitted == null && statuses.size() < 4) {
        try {
          admitted = (NegotiatedAuthentication) provider.authenticate(
              new NegotiateRequest(new Request(connection, client.authorization())));
        } catch (NegotiateRefusedException more) {
          statuses.add(more.status());
          client.challenge(List.of(more.wwwAuthenticate()));
        }
      }
    }
    assertEquals(List.of(401), statuses);
    assertTrue(admitted.isAuthenticated());
    assertFalse(admitted.resumed());
    assertEquals(List.of("BUILTIN\\Users", "S-1-5-32-545"),
        admitted.getAuthorities().stream().map(GrantedAuthority::getAuthority).toList());
    try (ServerContext.Impersonation asClient = admitted.impersonate()) {
      assertTrue(asClient.active());
    }
    admitted.requestEnded();
    assertEquals(open, SecurityContext.openCount());
    assertThrows(IllegalStateException.class, admitted::impersonate);
  }

  @ParameterizedTest(name = "{0}")
  @CsvSource(delimiter = '|', value = {
      "a token the package refuses | Negotiate YWJjZGVmZ2hpamtsbW5vcA== | 401 | Negotiate",
      "no token                    | Negotiate                         | 400 | ",
      "not base64                  | Negotiate !!!                     | 400 | "})
  void aRequestThatCannotSignOnIsAnsweredNeverThrownAsSomethingElse(String name, String header, int status,
      String challenge) {
    int open = SecurityContext.openCount();
    NegotiateRefusedException refused = assertThrows(NegotiateRefusedException.class,
        () -> provider.authenticate(new NegotiateRequest(new Request(new Object(), header))));
    assertEquals(status, refused.status());
    assertEquals(challenge, refused.wwwAuthenticate());
    assertEquals(open, SecurityContext.openCount());
  }

  // A site without Basic leaves a Basic request to whatever else the chain has; one with Basic takes
  // it as a sign-on, which the simulated domain refuses as 401 with nothing held.
  @Test
  void basicSignsOnOnlyWhereTheSiteTakesIt() {
    String basic = "Basic " + java.util.Base64.getEncoder().encodeToString("alice:secret".getBytes());
    assertFalse(new Request(new Object(), false, basic).signsOn());
    try (Negotiator withBasic = Negotiator.builder().groups(GROUPS).sessions(false).basic(true).build()) {
      assertTrue(withBasic.basicChallenge().startsWith("Basic realm=\""));
      NegotiateAuthenticationProvider basicProvider = new NegotiateAuthenticationProvider(withBasic, GROUPS, false);
      Request request = new Request(new Object(), true, basic);
      assertTrue(request.signsOn());
      int open = SecurityContext.openCount();
      NegotiateRefusedException refused = assertThrows(NegotiateRefusedException.class,
          () -> basicProvider.authenticate(new NegotiateRequest(request)));
      assertEquals(401, refused.status());
      assertEquals("Negotiate", refused.wwwAuthenticate());
      assertEquals(open, SecurityContext.openCount());
    }
  }
}
