import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { base64url, randomToken, challengeS256 } from '../../ui/js/pkce.js';

test('S256 challenge matches the RFC 7636 appendix B example', async () => {
  assert.equal(await challengeS256('dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk', webcrypto), 'E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM');
});

test('base64url uses the URL alphabet without padding', () => {
  assert.equal(base64url(new Uint8Array([0xfb, 0xff, 0xfe])), '-__-');
  assert.equal(base64url(new Uint8Array([0x61])), 'YQ');
});

test('random tokens are verifiers of 43 unreserved characters and do not repeat', () => {
  const seen = new Set();
  for (let i = 0; i < 50; i++) {
    const t = randomToken(webcrypto);
    assert.match(t, /^[A-Za-z0-9_-]{43}$/);
    seen.add(t);
  }
  assert.equal(seen.size, 50);
});
