package com.tarvex.pelk.quentrel.tool;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The doctor reads a ticket's PAC from bytes the KDC chose: only what lies inside them counts. */
class PacBlobTest {
  private static byte[] tlv(int tag, byte[]... parts) {
    ByteArrayOutputStream contents = new ByteArrayOutputStream();
    for (byte[] part : parts) {
      contents.writeBytes(part);
    }
    int length = contents.size();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    out.write(tag);
    if (length < 0x80) {
      out.write(length);
    } else {
      out.write(0x82);
      out.write(length >> 8);
      out.write(length);
    }
    out.writeBytes(contents.toByteArray());
    return out.toByteArray();
  }

  private static byte[] element(int type, byte[] data) {
    return tlv(0x30, tlv(0xa0, tlv(0x02, type > 127 ? new byte[] {0, (byte) type} : new byte[] {(byte) type})),
        tlv(0xa1, tlv(0x04, data)));
  }

  // A header: count, version, then { type, size, offset } little-endian, the buffers' bytes after it.
  private static byte[] pac(int version, long offsetHigh, int... typeSizeOffset) {
    int count = typeSizeOffset.length / 3;
    byte[] pac = new byte[8 + 16 * count + 32];
    int[] words = new int[2 + 4 * count];
    words[0] = count;
    words[1] = version;
    for (int i = 0; i < count; i++) {
      words[2 + 4 * i] = typeSizeOffset[3 * i];
      words[3 + 4 * i] = typeSizeOffset[3 * i + 1];
      words[4 + 4 * i] = typeSizeOffset[3 * i + 2];
      words[5 + 4 * i] = (int) offsetHigh;
    }
    for (int i = 0; i < words.length; i++) {
      for (int b = 0; b < 4; b++) {
        pac[4 * i + b] = (byte) (words[i] >> (8 * b));
      }
    }
    return pac;
  }

  @Test
  void findsThePacInsideIfRelevantAndListsItsBuffers() throws Failure {
    byte[] pac = pac(0, 0, 6, 16, 40, 7, 16, 56);
    byte[] relevant = tlv(0x30, element(PacBlob.AD_WIN2K_PAC, pac));
    byte[] data = tlv(0x30, element(5, new byte[200]), element(PacBlob.AD_IF_RELEVANT, relevant));
    byte[] found = PacBlob.findPac(PacBlob.authorizationData(data));
    assertArrayEquals(pac, found);
    List<PacBlob.Buffer> buffers = PacBlob.buffers(found);
    assertEquals(2, buffers.size());
    assertEquals(7, buffers.get(1).type);
    assertEquals(56, buffers.get(1).offset);
    assertNull(PacBlob.findPac(PacBlob.authorizationData(tlv(0x30, element(5, new byte[3])))));
  }

  @Test
  void refusesWhatReachesBeyondItsBytes() {
    byte[] good = tlv(0x30, element(PacBlob.AD_WIN2K_PAC, new byte[4]));
    byte[] longer = good.clone();
    longer[1] = 0x7f;  // the outer sequence claims more than there is
    byte[] trailing = java.util.Arrays.copyOf(good, good.length + 1);
    byte[] indefinite = good.clone();
    indefinite[1] = (byte) 0x80;
    for (byte[] der : List.of(longer, trailing, indefinite, new byte[] {0x30}, tlv(0x31))) {
      assertThrows(Failure.class, () -> PacBlob.authorizationData(der));
    }
    for (byte[] pac : List.of(new byte[7], pac(1, 0), pac(0, 0, 6, 16, 64), pac(0, 0, 6, 0x7fffffff, 40),
        pac(0, 0x80000000L, 6, 16, 40), pac(0, 1, 6, 16, 40))) {
      Failure refused = assertThrows(Failure.class, () -> PacBlob.buffers(pac));
      assertTrue(refused.getMessage().startsWith("the PAC"), refused.getMessage());
    }
    byte[] tooMany = pac(0, 0);
    tooMany[0] = 3;
    assertThrows(Failure.class, () -> PacBlob.buffers(tooMany));
  }
}
