import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { createAuth, accountName, TOKENS_KEY, PENDING_KEY, PENDING_LIFETIME_MS } from '../../ui/js/auth.js';
import { challengeS256 } from '../../ui/js/pkce.js';
import { memoryStorage, config, tick } from './helpers.js';

// Sign-in logic over a bridge whose token requests the test answers in turn.
function setup() {
  const s = { clock: { now: 1_000_000 }, opened: [], requests: [], storage: memoryStorage(), answered: 0 };
  const bridge = {
    openBrowser: (url) => s.opened.push(url),
    postToken: (endpoint, body) => new Promise((resolve) => s.requests.push({ endpoint, body: new URLSearchParams(body), resolve })),
  };
  s.auth = createAuth({ config, bridge, storage: s.storage, crypto: webcrypto, now: () => s.clock.now });
  s.callback = async (query) => {
    if (!s.opened.length) await s.auth.beginSignIn();
    return s.auth.completeSignIn(`velunioprinter://callback?state=${new URL(s.opened.at(-1)).searchParams.get('state')}&${query}`);
  };
  s.answer = async (response, error = null) => {
    while (s.requests.length <= s.answered) await tick();
    s.requests[s.answered++].resolve({ response, error });
  };
  return s;
}

test('sign-in sends the S256 challenge of the kept verifier and exchanges the code with exactly the grant\'s fields', async () => {
  const s = setup();
  await s.auth.beginSignIn();
  const url = new URL(s.opened[0]);
  const { verifier, state } = JSON.parse(s.storage.getItem(PENDING_KEY));
  assert.deepEqual([`${url.origin}${url.pathname}`, ...['response_type', 'client_id', 'redirect_uri', 'code_challenge_method', 'state'].map((k) => url.searchParams.get(k))],
    [config.authorizeUrl, 'code', 'velunio-printaro', 'velunioprinter://callback', 'S256', state]);
  assert.equal(url.searchParams.get('code_challenge'), await challengeS256(verifier, webcrypto));
  assert.equal(s.auth.pendingSignInUrl(), s.opened[0]);
  const done = s.callback('code=abc%2B1');
  await s.answer('{"access_token":"A","refresh_token":"R","expires_in":120,"email":"ana@example.com"}');
  assert.equal(await done, true);
  assert.deepEqual(Object.fromEntries(s.requests[0].body), { grant_type: 'authorization_code', code: 'abc+1', redirect_uri: config.redirectUri, client_id: config.clientId, code_verifier: verifier });
  assert.deepEqual(JSON.parse(s.storage.getItem(TOKENS_KEY)), { accessToken: 'A', refreshToken: 'R', expiresAt: 1_120_000, account: 'ana@example.com' });
  assert.equal(s.auth.hasPendingSignIn(), false);
});

test('callbacks that are not ours, stale, forged, cancelled or failing are told apart and sign nobody in', async () => {
  const begun = async (s) => { await s.auth.beginSignIn(); return s; };
  const answered = (response, error) => (s) => { const done = s.callback('code=c'); s.answer(response, error); return done; };
  for (const [what, run, outcome, requests = 0] of [
    ['not ours', (s) => s.auth.completeSignIn('velunioprinter://callbackx?code=x'), false],
    ['nothing pending', (s) => s.auth.completeSignIn('velunioprinter://callback?code=x&state=y'), /expired/],
    ['too old', async (s) => { await begun(s); s.clock.now += PENDING_LIFETIME_MS + 1; return s.callback('code=x'); }, /expired/],
    ['forged', async (s) => (await begun(s)).auth.completeSignIn('velunioprinter://callback?code=x&state=forged'), /did not belong/],
    ['cancelled', (s) => s.callback('error=access_denied'), /cancelled/],
    ['refused', answered(null, 'HTTP 400: {"error":"invalid_grant"}'), /refused/, 1],
    ['unreachable', answered(null, 'HTTP request failed'), /could not be reached/, 1],
    ['no access token', answered('{}', null), /did not send an access token/, 1],
  ]) {
    const s = setup();
    if (outcome === false) assert.equal(await run(s), false, what);
    else await assert.rejects(run(s), outcome, what);
    assert.deepEqual([s.auth.isSignedIn(), s.requests.length], [false, requests], what);
    if (what === 'forged') assert.equal(s.auth.hasPendingSignIn(), true, 'the real answer may still come');
  }
});

test('an expiring or forced token is renewed once for all callers; a refusal signs out, an unreachable service does not', async () => {
  const s = setup();
  const done = s.callback('code=C1');
  await s.answer(JSON.stringify({ access_token: 'A1', refresh_token: 'R1', expires_in: 3600, user: { name: 'Ana' } }));
  await done;
  assert.equal(await s.auth.accessToken(), 'A1');
  s.clock.now += 3600_000 - 30_000; // inside the renewal margin
  const both = Promise.all([s.auth.accessToken(), s.auth.accessToken()]);
  await s.answer('{"access_token":"A2","expires_in":3600}');
  assert.deepEqual([await both, s.requests.length, Object.fromEntries(s.requests[1].body)], [['A2', 'A2'], 2, { grant_type: 'refresh_token', refresh_token: 'R1', client_id: 'velunio-printaro' }]);
  // The service neither rotated the refresh token nor named the account again.
  assert.deepEqual([s.auth.account(), JSON.parse(s.storage.getItem(TOKENS_KEY)).refreshToken], ['Ana', 'R1']);
  const changes = [];
  s.auth.onChange((v) => changes.push(v));
  const offline = s.auth.accessToken({ force: true });
  await s.answer(null, 'HTTP request failed');
  await assert.rejects(offline, (e) => !e.signedOut && /could not be reached/.test(e.message) && e.detail === 'HTTP request failed');
  const refused = s.auth.accessToken({ force: true });
  await s.answer(null, 'HTTP 400: {"error":"invalid_grant"}');
  await assert.rejects(refused, (e) => e.signedOut === true);
  assert.deepEqual([s.auth.isSignedIn(), changes, await s.auth.accessToken()], [false, [false], null]);
});

test('the account is read from the answer or its ID token, and only when it is named', () => {
  const idToken = (claims) => `h.${Buffer.from(JSON.stringify(claims)).toString('base64url')}.s`;
  for (const [answer, account] of [[{ email: 'a@x.io' }, 'a@x.io'], [{ account: { username: 'ana' } }, 'ana'],
    [{ id_token: idToken({ sub: '1', preferred_username: 'Zoë' }) }, 'Zoë'], [{ id_token: 'not.a-token' }, null], [{ email: ' ' }, null]]) {
    assert.equal(accountName(answer), account, JSON.stringify(answer));
  }
});
