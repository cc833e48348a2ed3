import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startService, pkcePair, form, authorize } from './helpers.js';

let service;
before(async () => { service = await startService(); });
after(async () => { await service.stop(); });

function exchange(code, verifier, overrides = {}) {
  return fetch(`${service.base}/oauth/token`, form({
    grant_type: 'authorization_code',
    code,
    redirect_uri: 'velunioprinter://callback',
    client_id: 'velunio-printaro',
    code_verifier: verifier,
    ...overrides,
  }));
}

async function codeFor(challenge, state = 'abc') {
  const res = await authorize(service.base, { challenge, state });
  assert.equal(res.status, 302);
  const location = new URL(res.headers.get('location'));
  assert.equal(`${location.protocol}//${location.host}${location.pathname}`, 'velunioprinter://callback');
  assert.equal(location.searchParams.get('state'), state);
  return location.searchParams.get('code');
}

test('the authorisation page offers Allow and keeps the request in its form', async () => {
  const { challenge } = pkcePair();
  const url = new URL('/oauth/authorize', service.base);
  Object.entries({ response_type: 'code', client_id: 'velunio-printaro', redirect_uri: 'velunioprinter://callback', state: '"><b>x', code_challenge: challenge, code_challenge_method: 'S256' })
    .forEach(([k, v]) => url.searchParams.set(k, v));
  const res = await fetch(url);
  assert.equal(res.status, 200);
  const html = await res.text();
  assert.match(html, /id="allow"/);
  assert.match(html, new RegExp(`value="${challenge}"`));
  assert.ok(html.includes('value="&quot;&gt;&lt;b&gt;x"'), 'state is escaped in the page');
});

test('an unknown redirect URI or a missing S256 challenge is refused without a redirect', async () => {
  const { challenge } = pkcePair();
  const bad = await authorize(service.base, { challenge, redirectUri: 'http://evil.invalid/cb' });
  assert.equal(bad.status, 400);
  assert.equal(bad.headers.get('location'), null);
  const plain = await authorize(service.base, { challenge: 'short' });
  assert.equal(plain.status, 400);
});

test('Deny returns access_denied with the state and no code', async () => {
  const res = await authorize(service.base, { challenge: pkcePair().challenge, state: 's9', decision: 'deny' });
  const location = new URL(res.headers.get('location'));
  assert.equal(location.searchParams.get('error'), 'access_denied');
  assert.equal(location.searchParams.get('state'), 's9');
  assert.equal(location.searchParams.get('code'), null);
});

test('the code is exchanged only with the matching verifier, and only once', async () => {
  const { verifier, challenge } = pkcePair();
  const wrong = pkcePair().verifier;

  const code = await codeFor(challenge);
  const refused = await exchange(code, wrong);
  assert.equal(refused.status, 400);
  assert.equal((await refused.json()).error, 'invalid_grant');
  // A failed attempt spends the code, so guessing verifiers gets nowhere.
  assert.equal((await exchange(code, verifier)).status, 400);

  const code2 = await codeFor(challenge);
  const ok = await exchange(code2, verifier);
  assert.equal(ok.status, 200);
  const tokens = await ok.json();
  assert.equal(tokens.token_type, 'Bearer');
  assert.ok(tokens.access_token && tokens.refresh_token);
  assert.equal(tokens.expires_in, 3600);
  assert.equal((await exchange(code2, verifier)).status, 400, 'a used code is refused');
});

test('a code is bound to its redirect URI and client', async () => {
  const { verifier, challenge } = pkcePair();
  assert.equal((await exchange(await codeFor(challenge), verifier, { redirect_uri: 'velunioprinter://other' })).status, 400);
  assert.equal((await exchange(await codeFor(challenge), verifier, { client_id: 'someone-else' })).status, 401);
});

test('refresh issues new tokens and spends the old refresh token', async () => {
  const { verifier, challenge } = pkcePair();
  const first = await (await exchange(await codeFor(challenge), verifier)).json();
  const refresh = (token) => fetch(`${service.base}/oauth/token`, form({ grant_type: 'refresh_token', refresh_token: token, client_id: 'velunio-printaro' }));

  const res = await refresh(first.refresh_token);
  assert.equal(res.status, 200);
  const second = await res.json();
  assert.notEqual(second.access_token, first.access_token);
  assert.notEqual(second.refresh_token, first.refresh_token);
  assert.equal((await refresh(first.refresh_token)).status, 400);
  assert.equal((await refresh(second.refresh_token)).status, 200);
});

test('the token endpoint wants a form body and a known grant', async () => {
  const json = await fetch(`${service.base}/oauth/token`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' });
  assert.equal(json.status, 400);
  const grant = await fetch(`${service.base}/oauth/token`, form({ grant_type: 'password' }));
  assert.equal((await grant.json()).error, 'unsupported_grant_type');
});
