// The camera password travels only as the MD5 digest of its windows-1252 bytes, in
// upper-case hexadecimal: the form the server stores. This file computes it in the
// browser so the password itself never leaves the page.
"use strict";

var OrbiscopeDigest = (function () {
  // Code points of the windows-1252 bytes 0x80..0x9F; 0 marks the five undefined bytes.
  var HIGH = [
    0x20ac, 0, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
    0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017d, 0,
    0, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
    0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0, 0x017e, 0x0178
  ];

  // The text as windows-1252 bytes; a character the code page cannot hold becomes "?",
  // one byte per character, as the server converts the passwords it stores.
  function cp1252Bytes(text) {
    var out = [];
    for (var ch of String(text)) {
      var cp = ch.codePointAt(0);
      if (cp < 0x80 || (cp >= 0xa0 && cp <= 0xff)) {
        out.push(cp);
      } else if (cp >= 0xd800 && cp <= 0xdfff) {
        out.push(0x3f);  // a lone surrogate is no character at all
      } else {
        var i = HIGH.indexOf(cp);
        out.push(cp !== 0 && i >= 0 ? 0x80 + i : 0x3f);
      }
    }
    return new Uint8Array(out);
  }

  // Per-round left-rotation amounts.
  var S = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
  // floor(abs(sin(i + 1)) * 2^32), computed once rather than listed.
  var K = new Uint32Array(64);
  for (var k = 0; k < 64; k++) K[k] = Math.floor(Math.abs(Math.sin(k + 1)) * 4294967296);

  function rotl(x, c) {
    return (x << c) | (x >>> (32 - c));
  }

  // The MD5 digest of the bytes, 16 bytes.
  function md5(bytes) {
    var length = bytes.length;
    // Message, the 0x80 marker, zero padding to 56 mod 64, then the bit length (64 bits LE).
    var padded = new Uint8Array(((length + 8) >>> 6) * 64 + 64);
    padded.set(bytes);
    padded[length] = 0x80;
    var bitsLow = (length << 3) >>> 0;
    var bitsHigh = Math.floor(length / 0x20000000);
    var end = padded.length;
    for (var b = 0; b < 4; b++) {
      padded[end - 8 + b] = (bitsLow >>> (8 * b)) & 0xff;
      padded[end - 4 + b] = (bitsHigh >>> (8 * b)) & 0xff;
    }

    var a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
    var m = new Uint32Array(16);
    for (var off = 0; off < padded.length; off += 64) {
      for (var w = 0; w < 16; w++) {
        var p = off + 4 * w;
        m[w] = padded[p] | (padded[p + 1] << 8) | (padded[p + 2] << 16) | (padded[p + 3] << 24);
      }
      var a = a0, bb = b0, c = c0, d = d0;
      for (var i = 0; i < 64; i++) {
        var f, g;
        if (i < 16) {
          f = (bb & c) | (~bb & d);
          g = i;
        } else if (i < 32) {
          f = (d & bb) | (~d & c);
          g = (5 * i + 1) & 15;
        } else if (i < 48) {
          f = bb ^ c ^ d;
          g = (3 * i + 5) & 15;
        } else {
          f = c ^ (bb | ~d);
          g = (7 * i) & 15;
        }
        var t = d;
        d = c;
        c = bb;
        bb = (bb + rotl((a + f + K[i] + m[g]) | 0, S[(i >>> 4) * 4 + (i & 3)])) | 0;
        a = t;
      }
      a0 = (a0 + a) | 0;
      b0 = (b0 + bb) | 0;
      c0 = (c0 + c) | 0;
      d0 = (d0 + d) | 0;
    }

    var digest = new Uint8Array(16);
    [a0, b0, c0, d0].forEach(function (word, n) {
      for (var j = 0; j < 4; j++) digest[4 * n + j] = (word >>> (8 * j)) & 0xff;
    });
    return digest;
  }

  function hex(bytes) {
    var digits = "0123456789ABCDEF";
    var s = "";
    for (var i = 0; i < bytes.length; i++) s += digits[bytes[i] >>> 4] + digits[bytes[i] & 15];
    return s;
  }

  return {
    cp1252Bytes: cp1252Bytes,
    md5Hex: function (bytes) { return hex(md5(bytes)); },
    // The digest the camera routes compare with the stored password.
    passwordDigest: function (password) { return hex(md5(cp1252Bytes(password))); }
  };
})();
