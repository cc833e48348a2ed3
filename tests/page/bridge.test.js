import { test } from 'node:test';
import assert from 'node:assert/strict';
import vm from 'node:vm';
import { createBridge, TOKEN_TIMEOUT_MS } from '../../ui/js/bridge.js';
import { BRIDGE_SHIM, recordingWindow } from './helpers.js';

test('through the injected shim, every message is a string whose data is a string or null', () => {
  const sent = [];
  const win = { chrome: { webview: { postMessage: (m) => sent.push(m) } } };
  win.window = win;
  vm.runInNewContext(BRIDGE_SHIM, win);
  const bridge = createBridge(win);

  bridge.uploadPrintedFile({ path: 'C:\\out\\sign-myself\\a "b".pdf', token: 't', endpoint: 'http://x/graphql', envelopeName: 'a "b"', envelopeFlowType: 'SIGN_MYSELF' });
  bridge.resizeWindow('home');
  bridge.startFileWatcher();
  bridge.deletePrintedFile('/out/x.pdf');

  const messages = sent.map((m) => {
    assert.equal(typeof m, 'string');
    return JSON.parse(m);
  });
  assert.deepEqual(messages.map((m) => m.handler), ['uploadPrintedFile', 'resizeWindow', 'startFileWatcher', 'deletePrintedFile']);
  assert.equal(typeof messages[0].data, 'string', 'multi-field data travels as JSON text');
  assert.deepEqual(JSON.parse(messages[0].data), { path: 'C:\\out\\sign-myself\\a "b".pdf', token: 't', endpoint: 'http://x/graphql', envelopeName: 'a "b"', envelopeFlowType: 'SIGN_MYSELF' });
  assert.equal(messages[1].data, 'home');
  assert.equal(messages[2].data, null);
  assert.equal(messages[3].data, '/out/x.pdf');
});

test('handlers found at start keep working when the engine makes its handler object anew without them', () => {
  const { win, posted } = recordingWindow();
  const bridge = createBridge(win);
  win.webkit.messageHandlers = {};
  assert.equal(bridge.available(), true);
  assert.equal(bridge.deletePrintedFile('/out/x.pdf'), true);
  assert.deepEqual(posted, [{ handler: 'deletePrintedFile', data: '/out/x.pdf' }]);
});

test('without native handlers nothing is posted and the bridge says so', async () => {
  const bridge = createBridge({});
  assert.equal(bridge.available(), false);
  assert.equal(bridge.openBrowser('http://x'), false);
  assert.deepEqual(await bridge.postToken('http://x', 'a=b'), { response: null, error: 'bridge unavailable' });
});

test('token requests go out one at a time, each answer to the request in flight', async () => {
  const { win, posted } = recordingWindow();
  const bridge = createBridge(win);
  const velunio = bridge.install();
  const first = bridge.postToken('http://t/token', 'grant_type=a');
  const second = bridge.postToken('http://t/token', 'grant_type=b');
  assert.equal(posted.length, 1);
  assert.deepEqual(JSON.parse(posted[0].data), { endpoint: 'http://t/token', body: 'grant_type=a' });

  velunio._onTokenResponse('{"access_token":"A"}', null);
  assert.deepEqual(await first, { response: '{"access_token":"A"}', error: null });
  assert.equal(posted.length, 2);
  assert.equal(JSON.parse(posted[1].data).body, 'grant_type=b');
  velunio._onTokenResponse(null, 'HTTP 400: nope');
  assert.deepEqual(await second, { response: null, error: 'HTTP 400: nope' });
  // An answer nobody waits for is dropped.
  velunio._onTokenResponse('{}', null);
});

test('a token request without an answer is given up so later ones are not stuck', async () => {
  const { win, posted } = recordingWindow();
  const timers = [];
  const bridge = createBridge(win, { setTimer: (fn, ms) => timers.push({ fn, ms }) && timers.length, clearTimer: () => {} });
  const velunio = bridge.install();
  const first = bridge.postToken('http://t', 'a');
  const second = bridge.postToken('http://t', 'b');
  assert.equal(timers[0].ms, TOKEN_TIMEOUT_MS);
  timers[0].fn();
  const result = await first;
  assert.equal(result.response, null);
  assert.ok(result.error);
  assert.equal(posted.length, 2);
  velunio._onTokenResponse('{"x":1}', null);
  assert.equal((await second).response, '{"x":1}');
});

test('GET answers are matched to their request by id, in any order', async () => {
  const { win, posted } = recordingWindow();
  const bridge = createBridge(win);
  const velunio = bridge.install();
  const a = bridge.httpGet('http://h/a');
  const b = bridge.httpGet('http://h/b');
  const [ia, ib] = posted.map((p) => JSON.parse(p.data));
  assert.notEqual(ia.id, ib.id);
  assert.equal(ib.url, 'http://h/b');
  velunio._onHttpGetResponse(ib.id, null, 'HTTP 404');
  velunio._onHttpGetResponse(ia.id, 'ok', null);
  assert.deepEqual(await a, { body: 'ok', error: null });
  assert.deepEqual(await b, { body: null, error: 'HTTP 404' });
});

test('native callbacks reach every listener even when one throws', () => {
  const { win } = recordingWindow({ console: { error: () => {} } });
  const bridge = createBridge(win);
  const velunio = bridge.install();
  const got = [];
  bridge.on('newPrintedFile', () => { throw new Error('boom'); });
  bridge.on('newPrintedFile', (path, flow) => got.push([path, flow]));
  bridge.on('deeplinkResult', (ok) => got.push(ok));
  bridge.on('callback', (url) => got.push(url));
  velunio._onNewPrintedFile("/o/sign-myself/it's.pdf", 'sign_myself');
  velunio._onDeeplinkResult(false);
  velunio.handleCallback('velunioprinter://callback?code=1');
  assert.deepEqual(got, [["/o/sign-myself/it's.pdf", 'sign_myself'], false, 'velunioprinter://callback?code=1']);
});
