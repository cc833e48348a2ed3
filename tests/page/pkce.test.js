import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { randomToken, challengeS256 } from '../../ui/js/pkce.js';

test('S256 follows RFC 7636 appendix B; verifiers are 43 URL-safe characters that do not repeat', async () => {
  assert.equal(await challengeS256('dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk', webcrypto), 'E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM');
  const tokens = new Set(Array.from({ length: 50 }, () => randomToken(webcrypto)));
  assert.equal([...tokens].filter((t) => /^[A-Za-z0-9_-]{43}$/.test(t)).length, 50);
});
