package com.tarvex.pelk.quentrel.http;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The service principal and key version a client's Kerberos ticket was issued for, read from the
 * clear part of its token (the ticket's realm, sname and the kvno of its encrypted part), so that
 * a refused ticket can be set beside what the keytab holds. Nothing read here is trusted: it
 * names what the client asked for, for a log line, and decides nothing.
 */
final class TicketName {
  private static final byte[] KRB5_OID = {0x2a, (byte) 0x86, 0x48, (byte) 0x86, (byte) 0xf7, 0x12, 0x01, 0x02, 0x02};
  private static final byte[] SPNEGO_OID = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
  final String principal;
  final int kvno;

  private TicketName(String principal, int kvno) {
    this.principal = principal;
    this.kvno = kvno;
  }

  /** The ticket's service and key version (-1 when the ticket gives none); null for a token that carries no ticket. */
  static TicketName of(byte[] token) {
    try {
      return read(token, 0);
    } catch (RuntimeException notATicket) {
      return null;
    }
  }

  @Override
  public String toString() {
    return principal + (kvno < 0 ? "" : " kvno " + kvno);
  }

  // A GSS token (SPNEGO around Kerberos, or Kerberos alone) or a bare AP-REQ.
  private static TicketName read(byte[] b, int depth) {
    int[] outer = tlv(b, 0, b.length);
    if (outer[0] == 0x6e) {
      return apReq(b, outer);
    }
    if (outer[0] != 0x60 || depth > 1) {
      return null;
    }
    int[] oid = tlv(b, outer[1], outer[2]);
    byte[] mech = Arrays.copyOfRange(b, oid[1], oid[2]);
    if (Arrays.equals(mech, KRB5_OID)) {
      // Two bytes of token id (01 00, an AP-REQ) come before the message.
      return apReq(b, tlv(b, oid[2] + 2, outer[2]));
    }
    if (Arrays.equals(mech, SPNEGO_OID)) {
      int[] init = tlv(b, oid[2], outer[2]);
      int[] fields = tlv(b, init[1], init[2]);
      int[] mechToken = child(b, fields, 0xa2);
      int[] octets = tlv(b, mechToken[1], mechToken[2]);
      return read(Arrays.copyOfRange(b, octets[1], octets[2]), depth + 1);
    }
    return null;
  }

  private static TicketName apReq(byte[] b, int[] message) {
    int[] fields = tlv(b, message[1], message[2]);
    int[] ticketField = child(b, fields, 0xa3);
    int[] ticket = tlv(b, ticketField[1], ticketField[2]);
    int[] parts = tlv(b, ticket[1], ticket[2]);
    int[] realmField = child(b, parts, 0xa1);
    String realm = text(b, tlv(b, realmField[1], realmField[2]));
    int[] snameField = child(b, parts, 0xa2);
    int[] sname = tlv(b, snameField[1], snameField[2]);
    int[] stringsField = child(b, sname, 0xa1);
    int[] strings = tlv(b, stringsField[1], stringsField[2]);
    List<String> names = new ArrayList<>();
    for (int at = strings[1]; at < strings[2]; ) {
      int[] name = tlv(b, at, strings[2]);
      names.add(text(b, name));
      at = name[2];
    }
    int[] encField = child(b, parts, 0xa3);
    int[] enc = tlv(b, encField[1], encField[2]);
    int kvno = -1;
    int[] kvnoField = childOrNull(b, enc, 0xa1);
    if (kvnoField != null) {
      int[] number = tlv(b, kvnoField[1], kvnoField[2]);
      kvno = 0;
      for (int i = number[1]; i < number[2]; i++) {
        kvno = (kvno << 8) | (b[i] & 0xff);
      }
    }
    return new TicketName(String.join("/", names) + "@" + realm, kvno);
  }

  // One DER element at `at` within `end`: {tag, content start, content end}.
  private static int[] tlv(byte[] b, int at, int end) {
    int tag = b[at] & 0xff;
    int length = b[at + 1] & 0xff;
    int start = at + 2;
    if (length > 0x80) {
      int count = length & 0x7f;
      if (count > 3) {
        throw new IllegalArgumentException("a length too large for a token");
      }
      length = 0;
      for (int i = 0; i < count; i++) {
        length = (length << 8) | (b[start++] & 0xff);
      }
    } else if (length == 0x80) {
      throw new IllegalArgumentException("an indefinite length");
    }
    if (start + length > end) {
      throw new IllegalArgumentException("an element longer than its container");
    }
    return new int[] {tag, start, start + length};
  }

  private static int[] child(byte[] b, int[] parent, int tag) {
    int[] found = childOrNull(b, parent, tag);
    if (found == null) {
      throw new IllegalArgumentException("no field " + tag);
    }
    return found;
  }

  private static int[] childOrNull(byte[] b, int[] parent, int tag) {
    for (int at = parent[1]; at < parent[2]; ) {
      int[] element = tlv(b, at, parent[2]);
      if (element[0] == tag) {
        return element;
      }
      at = element[2];
    }
    return null;
  }

  private static String text(byte[] b, int[] element) {
    return new String(b, element[1], element[2] - element[1], StandardCharsets.UTF_8);
  }
}
