package com.tarvex.pelk.quentrel.junit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tarvex.pelk.quentrel.ClientContext;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;

/** A client and a server of this JVM on the simulated host, through the context objects. */
class LoopbackTest {
  @Test
  void signOnThenProtectedMessagesBothWaysAndAnAlteredOneRefused() throws Exception {
    int before = SecurityContext.openCount();
    try (ClientContext client = ClientContext.open("Negotiate", "HTTP/web.example.test", ClientContext.CONFIDENTIALITY);
         ServerContext server = ServerContext.open("Negotiate")) {
      SecurityContext.Step toServer = client.firstStep();
      SecurityContext.Step toClient = server.accept(toServer.token());
      while (!toClient.complete()) {
        toServer = client.initialize(toClient.token());
        toClient = server.accept(toServer.token());
      }
      assertTrue(server.isEstablished());
      assertFalse(server.clientName().isEmpty());
      byte[] hello = "hello server".getBytes(StandardCharsets.UTF_8);
      assertArrayEquals(hello, server.unwrap(client.wrap(hello)));
      assertArrayEquals(hello, client.unwrap(server.wrap(hello)));
      byte[] altered = client.wrap(hello);
      altered[altered.length - 1] ^= 1;
      assertThrows(WinAuthException.class, () -> server.unwrap(altered));
    }
    assertEquals(before, SecurityContext.openCount());
  }
}
