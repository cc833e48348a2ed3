import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { JSDOM } from 'jsdom';
import { startApp, validateConfig, envelopeWebUrl } from '../../ui/js/app.js';
import { config, readUi, recordingWindow } from './helpers.js';

const tick = () => new Promise((r) => setTimeout(r, 0));

// Hashing for PKCE finishes off the main loop, so some steps need a wait.
async function until(check, what) {
  for (let i = 0; i < 200; i++) {
    const value = check();
    if (value) return value;
    await new Promise((r) => setTimeout(r, 5));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// The page as the web view shows it, with native handlers that record.
// The custom scheme of the real window is an opaque origin to jsdom, whose
// storage needs an http one.
async function openPage({ signedIn = false, tokens = null, loadConfig = async () => config, documents = null } = {}) {
  const dom = new JSDOM(readUi('index.html'), { url: 'http://app.velunio.test/index.html' });
  const win = dom.window;
  const { win: native, posted } = recordingWindow();
  win.webkit = native.webkit;
  win.__VELUNIO_APP_VERSION__ = '1.2.3';
  let alerts = 0;
  win.alert = win.confirm = () => { alerts++; return true; };
  if (signedIn) tokens = { accessToken: 'AT', refreshToken: 'RT', expiresAt: Date.now() + 3600_000 };
  if (tokens) win.localStorage.setItem('velunio.tokens', JSON.stringify(tokens));
  if (documents) win.localStorage.setItem('velunio.documents', JSON.stringify(documents));
  const app = await startApp(win, { loadConfig, crypto: webcrypto });
  const $ = (id) => win.document.getElementById(id);
  const sent = (handler) => posted.filter((p) => p.handler === handler).map((p) => p.data);
  const item = (path) => win.document.querySelector(`li[data-path="${CSS_escape(path)}"]`);
  return { win, app, $, posted, sent, item, alerts: () => alerts };
}

function CSS_escape(text) {
  return text.replace(/["\\]/g, '\\$&');
}

const part = (li, id) => li.querySelector(`[data-testid="${id}"]`);

test('signed out, the sign-in screen shows and the browser sign-in completes to the home screen', async () => {
  const page = await openPage();
  assert.equal(page.$('app').dataset.screen, 'signin');
  assert.deepEqual(page.sent('resizeWindow'), ['signin']);
  assert.deepEqual(page.sent('setWindowBackground'), ['#f4f6f8']);
  assert.equal(page.$('version').textContent, 'Version 1.2.3');

  page.$('sign-in').click();
  const authUrl = await until(() => page.sent('openBrowser')[0], 'the authorisation URL');
  const state = new URL(authUrl).searchParams.get('state');
  assert.equal(page.$('signin-waiting').hidden, false);
  assert.deepEqual(page.sent('startFileWatcher'), [], 'nothing is watched before sign-in');

  page.win.velunio.handleCallback(`velunioprinter://callback?code=CODE&state=${state}`);
  await tick();
  const tokenRequest = JSON.parse(page.sent('postToken')[0]);
  assert.equal(new URLSearchParams(tokenRequest.body).get('code'), 'CODE');
  page.win.velunio._onTokenResponse('{"access_token":"AT","refresh_token":"RT","expires_in":3600}', null);
  await tick();
  assert.equal(page.$('app').dataset.screen, 'home');
  assert.equal(page.sent('startFileWatcher').length, 1);
  assert.equal(page.sent('resizeWindow').at(-1), 'home');
  assert.equal(page.$('empty-state').hidden, false);
  assert.match(page.$('empty-state').textContent, /Sign Myself \(Velunio\)[\s\S]*Request Signature \(Velunio\)/);
});

test('a sign-in answer with the wrong state is shown as an error and nothing is exchanged', async () => {
  const page = await openPage();
  page.$('sign-in').click();
  await until(() => page.sent('openBrowser')[0], 'the authorisation URL');
  page.win.velunio.handleCallback('velunioprinter://callback?code=CODE&state=forged');
  await tick();
  assert.equal(page.sent('postToken').length, 0);
  assert.equal(page.$('signin-error').hidden, false);
  assert.match(page.$('signin-error').textContent, /did not belong/);
});

test('printed files appear by flow, newest first, with names shown as text', async () => {
  const page = await openPage({ signedIn: true });
  const evil = '/out/sign-myself/<img src=x onerror="window.hacked=1">.pdf';
  page.win.velunio._onNewPrintedFile('/out/sign-myself/1-first.pdf', 'sign_myself');
  await new Promise((r) => setTimeout(r, 5));
  page.win.velunio._onNewPrintedFile('/out/request-signature/2-offer.pdf', 'request_signature');
  await new Promise((r) => setTimeout(r, 5));
  page.win.velunio._onNewPrintedFile(evil, 'sign_myself');

  const names = (flow) => [...page.$(`list-${flow}`).querySelectorAll('[data-testid="document-name"]')].map((n) => n.textContent);
  assert.deepEqual(names('sign_myself'), ['<img src=x onerror="window.hacked=1">.pdf', '1-first.pdf']);
  assert.deepEqual(names('request_signature'), ['2-offer.pdf']);
  assert.equal(page.win.document.querySelector('#screen-home img'), null);
  assert.equal(part(page.item('/out/request-signature/2-offer.pdf'), 'envelope-name').value, '2-offer');
  assert.equal(page.$('empty-state').hidden, true);
});

test('an upload sends the edited name in its flow, shows progress, then the envelope link', async () => {
  const page = await openPage({ signedIn: true });
  const path = '/out/request-signature/7-Contract.pdf';
  page.win.velunio._onNewPrintedFile(path, 'request_signature');
  const li = page.item(path);
  const input = part(li, 'envelope-name');
  input.value = '  Contract for Ana  ';
  input.dispatchEvent(new page.win.Event('input'));
  part(li, 'upload').click();
  await tick();

  const data = JSON.parse(page.sent('uploadPrintedFile')[0]);
  assert.deepEqual(data, { path, token: 'AT', endpoint: config.graphqlEndpoint, envelopeName: 'Contract for Ana', envelopeFlowType: 'REQUEST_SIGNATURE' });
  assert.equal(li.dataset.status, 'uploading');
  assert.equal(part(li, 'progress').hidden, false);
  assert.equal(part(li, 'upload').disabled, true);

  page.win.velunio._onUploadResult(JSON.stringify({ path, envelopeId: 'env_0123456789abcdef' }));
  assert.equal(li.dataset.status, 'done');
  assert.equal(part(li, 'progress').hidden, true);
  assert.equal(part(li, 'envelope-id').textContent, 'ID env_0123456789abcdef');
  part(li, 'open-envelope').click();
  assert.deepEqual(page.sent('openBrowser'), ['http://127.0.0.1:8640/envelopes/env_0123456789abcdef']);
});

test('a failed upload says why in words and offers a retry; a too-large file gets a calm note', async () => {
  const page = await openPage({ signedIn: true });
  page.win.velunio._onNewPrintedFile('/o/sign-myself/a.pdf', 'sign_myself');
  page.win.velunio._onNewPrintedFile('/o/sign-myself/big.pdf', 'sign_myself');
  const a = page.item('/o/sign-myself/a.pdf');
  const big = page.item('/o/sign-myself/big.pdf');
  part(a, 'upload').click();
  part(big, 'upload').click();
  await tick();
  assert.equal(page.sent('uploadPrintedFile').length, 2);

  page.win.velunio._onUploadResult('{"path":"/o/sign-myself/a.pdf","error":"<b>The document is not a PDF file.</b>"}');
  assert.equal(a.dataset.status, 'failed');
  assert.match(part(a, 'status-text').textContent, /could not create the envelope: <b>The document/);
  assert.equal(a.querySelector('b'), null);
  assert.equal(part(a, 'upload').hidden, false);
  assert.equal(part(a, 'upload').textContent, 'Try again');
  part(a, 'upload').click();
  await tick();
  assert.equal(page.sent('uploadPrintedFile').length, 3);

  page.win.velunio._onUploadResult('{"path":"/o/sign-myself/big.pdf","error":"native_handled"}');
  assert.equal(big.dataset.status, 'too_large');
  assert.equal(part(big, 'upload').hidden || part(big, 'upload').closest('[hidden]') !== null, true);
  assert.match(part(big, 'status-text').textContent, /too large/);
  // The native side deleted that file already; removing it only tidies the list.
  part(big, 'remove').click();
  assert.deepEqual(page.sent('deletePrintedFile'), []);
  assert.equal(page.item('/o/sign-myself/big.pdf'), null);
});

test('remove deletes one file; clear all asks inside the page first', async () => {
  const page = await openPage({ signedIn: true });
  page.win.velunio._onNewPrintedFile('/o/sign-myself/a.pdf', 'sign_myself');
  page.win.velunio._onNewPrintedFile('/o/request-signature/b.pdf', 'request_signature');
  page.win.velunio._onNewPrintedFile('/o/request-signature/c.pdf', 'request_signature');
  part(page.item('/o/sign-myself/a.pdf'), 'remove').click();
  assert.deepEqual(page.sent('deletePrintedFile'), ['/o/sign-myself/a.pdf']);
  assert.equal(page.$('group-sign_myself').hidden, true);

  page.$('clear-all').click();
  assert.equal(page.$('confirm-clear').hidden, false);
  page.$('confirm-clear-no').click();
  assert.equal(page.sent('clearPrintedFiles').length, 0);
  assert.equal(page.win.document.querySelectorAll('li.document').length, 2);

  page.$('clear-all').click();
  page.$('confirm-clear-yes').click();
  assert.equal(page.sent('clearPrintedFiles').length, 1);
  assert.equal(page.win.document.querySelectorAll('li.document').length, 0);
  assert.equal(page.$('empty-state').hidden, false);
  assert.equal(page.alerts(), 0, 'no browser dialog is used');
});

test('an expired sign-in that cannot be renewed returns to the sign-in screen', async () => {
  const page = await openPage({
    tokens: { accessToken: 'old', refreshToken: 'RT', expiresAt: Date.now() - 1000 },
    documents: [{ path: '/o/a.pdf', flow: 'sign_myself', fileName: 'a.pdf', envelopeName: 'a', reportedAt: 1, status: 'ready' }],
  });
  assert.equal(page.$('app').dataset.screen, 'home');
  part(page.item('/o/a.pdf'), 'upload').click();
  await tick();
  const refresh = new URLSearchParams(JSON.parse(page.sent('postToken')[0]).body);
  assert.equal(refresh.get('grant_type'), 'refresh_token');
  page.win.velunio._onTokenResponse(null, 'HTTP 400: {"error":"invalid_grant"}');
  await tick();
  assert.equal(page.sent('uploadPrintedFile').length, 0);
  assert.equal(page.$('app').dataset.screen, 'signin');
  assert.match(page.$('signin-error').textContent, /expired/);
  assert.equal(page.item('/o/a.pdf').dataset.status, 'failed');
});

test('sign-out returns to the sign-in screen; a banner changes the window size', async () => {
  const page = await openPage({ signedIn: true });
  assert.equal(page.$('app').dataset.screen, 'home');
  page.$('sign-out').click();
  assert.equal(page.$('app').dataset.screen, 'signin');
  assert.equal(page.win.localStorage.getItem('velunio.tokens'), null);

  const noBridge = new JSDOM(readUi('index.html'), { url: 'http://app.velunio.test/index.html' });
  noBridge.window.localStorage.setItem('velunio.tokens', JSON.stringify({ accessToken: 'AT', expiresAt: null }));
  await startApp(noBridge.window, { loadConfig: async () => config, crypto: webcrypto });
  assert.equal(noBridge.window.document.getElementById('banner').hidden, false);

  const withBanner = await openPage({ signedIn: true });
  withBanner.win.velunio.handleCallback('velunioprinter://callback?code=x&state=y');
  await tick();
  assert.equal(withBanner.$('banner').hidden, true, 'a stray callback while signed in is ignored');
});

test('a sign-in service out of reach is told in a banner, which enlarges the window until dismissed', async () => {
  const page = await openPage({
    tokens: { accessToken: 'old', refreshToken: 'RT', expiresAt: Date.now() - 1000 },
    documents: [{ path: '/o/a.pdf', flow: 'sign_myself', fileName: 'a.pdf', envelopeName: 'a', reportedAt: 1, status: 'ready' }],
  });
  part(page.item('/o/a.pdf'), 'upload').click();
  await tick();
  page.win.velunio._onTokenResponse(null, 'HTTP request failed');
  await tick();
  assert.equal(page.$('app').dataset.screen, 'home');
  assert.equal(page.$('banner').hidden, false);
  assert.match(page.$('banner-text').textContent, /could not be reached/);
  assert.equal(page.sent('resizeWindow').at(-1), 'home-with-banner');
  assert.equal(part(page.item('/o/a.pdf'), 'upload').textContent, 'Try again');
  // The next renewal that works takes the banner away.
  part(page.item('/o/a.pdf'), 'upload').click();
  await tick();
  page.win.velunio._onTokenResponse('{"access_token":"new","expires_in":3600}', null);
  await tick();
  assert.equal(page.$('banner').hidden, true);
  assert.equal(page.sent('resizeWindow').at(-1), 'home');
  assert.equal(JSON.parse(page.sent('uploadPrintedFile')[0]).token, 'new');
});

test('bad settings show a problem screen instead of a broken page', async () => {
  const page = await openPage({ loadConfig: async () => ({ ...config, tokenUrl: 'javascript:alert(1)' }) });
  assert.equal(page.$('app').dataset.screen, 'problem');
  assert.match(page.$('problem-text').textContent, /tokenUrl/);
  assert.throws(() => validateConfig({ ...config, envelopeUrl: 'http://x/' }), /\{id\}/);
  assert.equal(envelopeWebUrl(config, 'a/b'), 'http://127.0.0.1:8640/envelopes/a%2Fb');
});

test('the page declares a strict content security policy and loads only its own module', () => {
  const html = readUi('index.html');
  const dom = new JSDOM(html);
  const csp = dom.window.document.querySelector('meta[http-equiv="Content-Security-Policy"]').content;
  assert.match(csp, /script-src 'self'(;|$)/);
  assert.match(csp, /connect-src 'self'(;|$)/);
  assert.doesNotMatch(csp, /unsafe-inline|unsafe-eval|https?:/);
  const scripts = [...dom.window.document.querySelectorAll('script')];
  assert.deepEqual(scripts.map((s) => [s.type, s.getAttribute('src'), s.textContent.trim()]), [['module', 'js/main.js', '']]);
  assert.equal(dom.window.document.querySelectorAll('[onclick],[onload],[onerror]').length, 0);
});
