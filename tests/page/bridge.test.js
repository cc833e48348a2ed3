import { test } from 'node:test';
import assert from 'node:assert/strict';
import vm from 'node:vm';
import { createBridge, TOKEN_TIMEOUT_MS } from '../../ui/js/bridge.js';
import { BRIDGE_SHIM, recordingWindow, nativeFindString } from './helpers.js';

// The page's bridge behind the injected shim: what the native side receives.
function throughShim() {
  const sent = [];
  const win = { chrome: { webview: { postMessage: (m) => sent.push(m) } } };
  vm.runInNewContext(BRIDGE_SHIM, Object.assign(win, { window: win }));
  return { bridge: createBridge(win), sent };
}

test('messages are strings; the native reading of an upload finds every field, whatever the envelope name', () => {
  const fields = ['path', 'token', 'endpoint', 'envelopeName', 'envelopeFlowType'];
  for (const name of [...fields, 'handler', 'data', 'a "b" \\ c\td', 'Ünïcode ✓ 😀']) {
    const { bridge, sent } = throughShim();
    const upload = { path: '/o/sign-myself/it\'s "q".pdf', token: 'at_1', endpoint: 'http://x/graphql', envelopeName: name, envelopeFlowType: 'SIGN_MYSELF' };
    bridge.uploadPrintedFile(upload);
    const data = nativeFindString(sent[0], 'data');
    assert.deepEqual([nativeFindString(sent[0], 'handler'), Object.fromEntries(fields.map((f) => [f, nativeFindString(data, f)]))], ['uploadPrintedFile', upload], name);
  }
  const { bridge, sent } = throughShim();
  bridge.resizeWindow('home');
  bridge.startFileWatcher();
  assert.deepEqual(sent.map((m) => JSON.parse(m)), [{ handler: 'resizeWindow', data: 'home' }, { handler: 'startFileWatcher', data: null }]);
});

test('handlers found at start keep working when the engine makes its handler object anew; none at all is said', async () => {
  const { win, posted } = recordingWindow();
  const bridge = createBridge(win);
  win.webkit.messageHandlers = {};
  assert.deepEqual([bridge.available(), bridge.deletePrintedFile('/x.pdf'), posted], [true, true, [{ handler: 'deletePrintedFile', data: '/x.pdf' }]]);
  const none = createBridge({});
  assert.deepEqual([none.available(), none.openBrowser('http://x'), await none.postToken('http://x', 'a=b')], [false, false, { response: null, error: 'bridge unavailable' }]);
});

test('token requests go out one at a time, each answer to the one in flight; one never answered is given up', async () => {
  const { win, posted } = recordingWindow();
  const timers = [];
  const bridge = createBridge(win, { setTimer: (fn, ms) => timers.push({ fn, ms }), clearTimer: () => {} });
  const velunio = bridge.install();
  const requests = ['a', 'b', 'c'].map((body) => bridge.postToken('http://t', body));
  assert.equal(posted.length, 1);
  velunio._onTokenResponse('{"access_token":"A"}', null);
  assert.deepEqual([await requests[0], JSON.parse(posted[1].data).body, timers[1].ms], [{ response: '{"access_token":"A"}', error: null }, 'b', TOKEN_TIMEOUT_MS]);
  timers[1].fn();
  assert.match((await requests[1]).error, /No answer/);
  velunio._onTokenResponse(null, 'HTTP 400: nope');
  assert.deepEqual(await requests[2], { response: null, error: 'HTTP 400: nope' });
});

test('callbacks reach every listener even when one throws; GET answers find their request by id', async () => {
  const { win, posted } = recordingWindow({ console: { error: () => {} } });
  const bridge = createBridge(win);
  const velunio = bridge.install();
  const got = [];
  bridge.on('newPrintedFile', () => { throw new Error('boom'); });
  for (const kind of ['newPrintedFile', 'uploadProgress', 'deeplinkResult', 'callback']) bridge.on(kind, (...args) => got.push(args));
  velunio._onNewPrintedFile("/o/it's.pdf", 'sign_myself');
  velunio._onUploadProgress('/o/a.pdf', 1024, '2048');
  velunio._onDeeplinkResult(false);
  velunio.handleCallback('velunioprinter://callback?code=1');
  assert.deepEqual(got, [["/o/it's.pdf", 'sign_myself'], ['/o/a.pdf', 1024, 2048], [false], ['velunioprinter://callback?code=1']]);
  const gets = [bridge.httpGet('http://h/a'), bridge.httpGet('http://h/b')];
  const [a, b] = posted.map((p) => JSON.parse(p.data));
  velunio._onHttpGetResponse(b.id, null, 'HTTP 404');
  velunio._onHttpGetResponse(a.id, 'ok', null);
  assert.deepEqual(await Promise.all(gets), [{ body: 'ok', error: null }, { body: null, error: 'HTTP 404' }]);
});
