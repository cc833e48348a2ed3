import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { createAuth, parseCallbackUrl, TOKENS_KEY, PENDING_KEY, PENDING_LIFETIME_MS } from '../../ui/js/auth.js';
import { challengeS256 } from '../../ui/js/pkce.js';
import { memoryStorage, config } from './helpers.js';

// A bridge whose token answers the test gives one by one.
function fakeBridge() {
  const opened = [];
  const tokenRequests = [];
  return {
    opened,
    tokenRequests,
    openBrowser: (url) => opened.push(url),
    postToken: (endpoint, body) => new Promise((resolve) => tokenRequests.push({ endpoint, body: new URLSearchParams(body), resolve })),
  };
}

function setup(t0 = 1_000_000) {
  const clock = { now: t0 };
  const bridge = fakeBridge();
  const storage = memoryStorage();
  const auth = createAuth({ config, bridge, storage, crypto: webcrypto, now: () => clock.now });
  return { clock, bridge, storage, auth };
}

const tick = () => new Promise((r) => setImmediate(r));

async function signedIn(expiresIn = 3600) {
  const s = setup();
  await s.auth.beginSignIn();
  const state = new URL(s.bridge.opened[0]).searchParams.get('state');
  const done = s.auth.completeSignIn(`velunioprinter://callback?code=C1&state=${state}`);
  await tick();
  s.bridge.tokenRequests[0].resolve({ response: JSON.stringify({ access_token: 'A1', refresh_token: 'R1', expires_in: expiresIn, token_type: 'Bearer' }), error: null });
  assert.equal(await done, true);
  return s;
}

test('sign-in opens the authorisation URL with an S256 challenge of the kept verifier', async () => {
  const { auth, bridge, storage } = setup();
  await auth.beginSignIn();
  const url = new URL(bridge.opened[0]);
  assert.equal(`${url.origin}${url.pathname}`, config.authorizeUrl);
  const p = Object.fromEntries(url.searchParams);
  assert.equal(p.response_type, 'code');
  assert.equal(p.client_id, 'velunio-printaro');
  assert.equal(p.redirect_uri, 'velunioprinter://callback');
  assert.equal(p.code_challenge_method, 'S256');
  const pending = JSON.parse(storage.getItem(PENDING_KEY));
  assert.equal(pending.state, p.state);
  assert.equal(p.code_challenge, await challengeS256(pending.verifier, webcrypto));
});

test('the callback is exchanged with exactly the form fields of the code grant', async () => {
  const { auth, bridge, storage } = setup();
  await auth.beginSignIn();
  const { verifier, state } = JSON.parse(storage.getItem(PENDING_KEY));
  const done = auth.completeSignIn(`velunioprinter://callback?code=abc%2B1&state=${state}`);
  await tick();
  const req = bridge.tokenRequests[0];
  assert.equal(req.endpoint, config.tokenUrl);
  assert.deepEqual(Object.fromEntries(req.body), {
    grant_type: 'authorization_code', code: 'abc+1', redirect_uri: 'velunioprinter://callback', client_id: 'velunio-printaro', code_verifier: verifier,
  });
  req.resolve({ response: '{"access_token":"A","refresh_token":"R","expires_in":120}', error: null });
  assert.equal(await done, true);
  assert.deepEqual(JSON.parse(storage.getItem(TOKENS_KEY)), { accessToken: 'A', refreshToken: 'R', expiresAt: 1_000_000 + 120_000 });
  assert.equal(storage.getItem(PENDING_KEY), null);
  assert.equal(auth.isSignedIn(), true);
});

test('a callback with a foreign state is refused without a token request and the sign-in stays open', async () => {
  const { auth, bridge } = setup();
  await auth.beginSignIn();
  await assert.rejects(auth.completeSignIn('velunioprinter://callback?code=x&state=forged'), /did not belong/);
  assert.equal(bridge.tokenRequests.length, 0);
  assert.equal(auth.hasPendingSignIn(), true);
});

test('callbacks that are not ours, stale or cancelled are told apart', async () => {
  const { auth, clock } = setup();
  assert.equal(await auth.completeSignIn('velunioprinter://other?code=x'), false);
  await assert.rejects(auth.completeSignIn('velunioprinter://callback?code=x&state=y'), /expired/);

  await auth.beginSignIn();
  clock.now += PENDING_LIFETIME_MS + 1;
  await assert.rejects(auth.completeSignIn('velunioprinter://callback?code=x&state=y'), /expired/);

  const fresh = setup();
  await fresh.auth.beginSignIn();
  const state = new URL(fresh.bridge.opened[0]).searchParams.get('state');
  await assert.rejects(fresh.auth.completeSignIn(`velunioprinter://callback?error=access_denied&state=${state}`), /cancelled/);
  assert.equal(fresh.bridge.tokenRequests.length, 0);
});

test('a failed code exchange leaves the user signed out with words for why', async () => {
  for (const [error, words] of [['HTTP 400: {"error":"invalid_grant"}', /refused/], ['HTTP request failed', /could not be reached/]]) {
    const { auth, bridge } = setup();
    await auth.beginSignIn();
    const state = new URL(bridge.opened[0]).searchParams.get('state');
    const done = auth.completeSignIn(`velunioprinter://callback?code=c&state=${state}`);
    await tick();
    bridge.tokenRequests[0].resolve({ response: null, error });
    await assert.rejects(done, words);
    assert.equal(auth.isSignedIn(), false);
  }
});

test('an answer without an access token is not taken for a sign-in', async () => {
  const { auth, bridge } = setup();
  await auth.beginSignIn();
  const state = new URL(bridge.opened[0]).searchParams.get('state');
  const done = auth.completeSignIn(`velunioprinter://callback?code=c&state=${state}`);
  await tick();
  bridge.tokenRequests[0].resolve({ response: '{}', error: null });
  await assert.rejects(done, /did not send an access token/);
  assert.equal(auth.isSignedIn(), false);
});

test('a valid token is used as it is; an expiring one is refreshed once for all callers', async () => {
  const { auth, bridge, clock, storage } = await signedIn(3600);
  assert.equal(await auth.accessToken(), 'A1');
  assert.equal(bridge.tokenRequests.length, 1);

  clock.now += 3600_000 - 30_000; // inside the renewal margin
  const a = auth.accessToken();
  const b = auth.accessToken();
  await tick();
  assert.equal(bridge.tokenRequests.length, 2, 'one refresh for both callers');
  assert.deepEqual(Object.fromEntries(bridge.tokenRequests[1].body), { grant_type: 'refresh_token', refresh_token: 'R1', client_id: 'velunio-printaro' });
  bridge.tokenRequests[1].resolve({ response: '{"access_token":"A2","expires_in":3600}', error: null });
  assert.deepEqual([await a, await b], ['A2', 'A2']);
  // The service did not rotate the refresh token, so the old one is kept.
  assert.equal(JSON.parse(storage.getItem(TOKENS_KEY)).refreshToken, 'R1');
});

test('a refused refresh signs out; an unreachable service keeps the sign-in', async () => {
  const s = await signedIn(60);
  s.clock.now += 60_000;
  const changes = [];
  s.auth.onChange((v) => changes.push(v));
  const offline = s.auth.accessToken();
  await tick();
  s.bridge.tokenRequests[1].resolve({ response: null, error: 'HTTP request failed' });
  await assert.rejects(offline, (e) => !e.signedOut && /could not be reached/.test(e.message));
  assert.equal(s.auth.isSignedIn(), true);

  const refused = s.auth.accessToken();
  await tick();
  s.bridge.tokenRequests[2].resolve({ response: null, error: 'HTTP 400: {"error":"invalid_grant"}' });
  await assert.rejects(refused, (e) => e.signedOut === true);
  assert.equal(s.auth.isSignedIn(), false);
  assert.deepEqual(changes, [false]);
  assert.equal(await s.auth.accessToken(), null);
});

test('force renews a token that still looks valid, and sign-out forgets everything', async () => {
  const s = await signedIn(3600);
  const forced = s.auth.accessToken({ force: true });
  await tick();
  s.bridge.tokenRequests[1].resolve({ response: '{"access_token":"A3","refresh_token":"R3","expires_in":3600}', error: null });
  assert.equal(await forced, 'A3');
  s.auth.signOut();
  assert.equal(s.storage.getItem(TOKENS_KEY), null);
  assert.equal(s.auth.isSignedIn(), false);
});

test('callback URLs are recognised by their base, whatever their parameters', () => {
  assert.deepEqual(parseCallbackUrl('velunioprinter://callback?state=s&code=c', 'velunioprinter://callback'),
    { code: 'c', state: 's', error: null, errorDescription: null });
  assert.equal(parseCallbackUrl('velunioprinter://callback/?code=c', 'velunioprinter://callback').code, 'c');
  assert.equal(parseCallbackUrl('velunioprinter://callbackx?code=c', 'velunioprinter://callback'), null);
  assert.equal(parseCallbackUrl(null, 'velunioprinter://callback'), null);
});
