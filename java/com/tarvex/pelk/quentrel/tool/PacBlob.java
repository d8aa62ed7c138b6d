package com.tarvex.pelk.quentrel.tool;

import java.util.ArrayList;
import java.util.List;

/**
 * The PAC of a ticket's authorization data, read only as far as its header: which buffers it
 * holds. The authorization data is DER (a sequence of { [0] ad-type, [1] ad-data }), the PAC is
 * AD-WIN2K-PAC inside AD-IF-RELEVANT. Nothing is trusted: every length, count and offset is
 * checked against the bytes it claims to lie in, and anything else is refused with words.
 */
final class PacBlob {
  static final int AD_IF_RELEVANT = 1;
  static final int AD_WIN2K_PAC = 128;
  // AD-IF-RELEVANT inside AD-IF-RELEVANT is legal but never deep; a bound keeps a hostile nesting cheap.
  private static final int MAX_DEPTH = 4;
  // A PAC holds a dozen buffers or so; a count beyond this is no PAC.
  private static final int MAX_BUFFERS = 64;

  private PacBlob() {}

  /** One buffer of a PAC's header. */
  static final class Buffer {
    final int type;
    final int size;
    final long offset;

    Buffer(int type, int size, long offset) {
      this.type = type;
      this.size = size;
      this.offset = offset;
    }
  }

  /** One element of authorization data. */
  static final class Element {
    final int type;
    final byte[] data;

    Element(int type, byte[] data) {
      this.type = type;
      this.data = data;
    }
  }

  /** The first AD-WIN2K-PAC among the elements, looking inside AD-IF-RELEVANT; null when there is none. */
  static byte[] findPac(List<Element> elements) throws Failure {
    return findPac(elements, 0);
  }

  private static byte[] findPac(List<Element> elements, int depth) throws Failure {
    for (Element element : elements) {
      if (element.type == AD_WIN2K_PAC) {
        return element.data;
      }
      if (element.type == AD_IF_RELEVANT && depth < MAX_DEPTH) {
        byte[] inner = findPac(authorizationData(element.data), depth + 1);
        if (inner != null) {
          return inner;
        }
      }
    }
    return null;
  }

  /** AuthorizationData ::= SEQUENCE OF SEQUENCE { ad-type [0] Int32, ad-data [1] OCTET STRING }. */
  static List<Element> authorizationData(byte[] der) throws Failure {
    Der outer = new Der(der, 0, der.length);
    Der sequence = outer.next(0x30);
    outer.end();
    List<Element> elements = new ArrayList<>();
    while (sequence.more()) {
      Der element = sequence.next(0x30);
      Der type = element.next(0xa0);
      Der data = element.next(0xa1);
      element.end();
      Der number = type.next(0x02);
      type.end();
      Der octets = data.next(0x04);
      data.end();
      elements.add(new Element(number.int32(), octets.bytes()));
    }
    return elements;
  }

  /** The buffers a PAC's header lists: a count, version 0, then { type, size, 64-bit offset } each. */
  static List<Buffer> buffers(byte[] pac) throws Failure {
    if (pac.length < 8) {
      throw new Failure("the PAC is " + pac.length + " bytes, shorter than its header");
    }
    long count = le32(pac, 0);
    if (le32(pac, 4) != 0) {
      throw new Failure("the PAC's version is " + le32(pac, 4) + ", not 0");
    }
    if (count > MAX_BUFFERS || 8 + 16 * count > pac.length) {
      throw new Failure("the PAC claims " + count + " buffers, more than its " + pac.length + " bytes hold");
    }
    List<Buffer> buffers = new ArrayList<>();
    for (int i = 0; i < count; i++) {
      int at = 8 + 16 * i;
      long size = le32(pac, at + 4);
      long offset = le32(pac, at + 8) | le32(pac, at + 12) << 32;
      if (offset < 0 || offset > pac.length || size > pac.length - offset) {
        throw new Failure("the PAC's buffer of type " + le32(pac, at) + " claims " + size + " bytes at offset "
            + Long.toUnsignedString(offset) + ", beyond the PAC's " + pac.length + " bytes");
      }
      buffers.add(new Buffer((int) le32(pac, at), (int) size, offset));
    }
    return buffers;
  }

  private static long le32(byte[] bytes, int at) {
    return (bytes[at] & 0xffL) | (bytes[at + 1] & 0xffL) << 8 | (bytes[at + 2] & 0xffL) << 16
        | (bytes[at + 3] & 0xffL) << 24;
  }

  /** A window of DER bytes read one element at a time; definite lengths only, as DER has. */
  private static final class Der {
    private final byte[] bytes;
    private int at;
    private final int end;

    Der(byte[] bytes, int at, int end) {
      this.bytes = bytes;
      this.at = at;
      this.end = end;
    }

    boolean more() {
      return at < end;
    }

    void end() throws Failure {
      if (at != end) {
        throw new Failure("the ticket's authorization data has " + (end - at) + " bytes after an element");
      }
    }

    // The next element, which must carry the tag; its contents as a window of their own.
    Der next(int tag) throws Failure {
      if (end - at < 2 || (bytes[at] & 0xff) != tag) {
        throw new Failure("the ticket's authorization data is no DER: expected tag 0x" + Integer.toHexString(tag)
            + " at byte " + at);
      }
      int first = bytes[at + 1] & 0xff;
      at += 2;
      long length = first;
      if (first >= 0x80) {
        int digits = first & 0x7f;
        if (digits == 0 || digits > 4 || end - at < digits) {
          throw new Failure("the ticket's authorization data has a length DER does not allow at byte " + at);
        }
        length = 0;
        for (int i = 0; i < digits; i++) {
          length = length << 8 | (bytes[at++] & 0xff);
        }
      }
      if (length > end - at) {
        throw new Failure("the ticket's authorization data claims " + length + " bytes where " + (end - at)
            + " are left");
      }
      Der contents = new Der(bytes, at, at + (int) length);
      at += (int) length;
      return contents;
    }

    int int32() throws Failure {
      int length = end - at;
      if (length < 1 || length > 4) {
        throw new Failure("the ticket's authorization data has an ad-type of " + length + " bytes");
      }
      int value = bytes[at];  // signed, as DER integers are
      for (int i = 1; i < length; i++) {
        value = value << 8 | (bytes[at + i] & 0xff);
      }
      return value;
    }

    byte[] bytes() {
      return java.util.Arrays.copyOfRange(bytes, at, end);
    }
  }
}
