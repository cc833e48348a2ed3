import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { performance } from 'node:perf_hooks';
import { JSDOM } from 'jsdom';
import { startApp, validateConfig, THEMES, UPLOAD_NO_PROGRESS_MS, UPLOAD_SILENCE_MS } from '../../ui/js/app.js';
import { config, readUi, recordingWindow, tick } from './helpers.js';

const stored = (path) => ({ path, flow: 'sign_myself', fileName: 'a.pdf', envelopeName: 'a', reportedAt: 1, status: 'ready', envelopeId: null });
const signedIn = { tokens: { accessToken: 'AT', refreshToken: 'RT', expiresAt: Date.now() + 3600_000 } };
const expired = { tokens: { accessToken: 'old', refreshToken: 'RT', expiresAt: 1 }, documents: [stored('/o/a.pdf')] };

// The page as the web view shows it, with native handlers that record, timers
// that the test fires and storage writes counted. jsdom's storage needs an
// http origin where the real window has its own scheme.
async function openPage({ tokens = null, documents = [], dark = false, bridge = true, loadConfig = async () => config } = {}) {
  const win = new JSDOM(readUi('index.html'), { url: 'http://app.velunio.test/' }).window;
  const { win: native, posted } = recordingWindow();
  if (bridge) win.webkit = native.webkit;
  const themeListeners = [];
  win.matchMedia = () => ({ get matches() { return dark; }, addEventListener: (_, fn) => themeListeners.push(fn) });
  if (tokens) win.localStorage.setItem('velunio.tokens', JSON.stringify(tokens));
  for (const d of documents) win.localStorage.setItem(`velunio.document:${d.path}`, JSON.stringify(d));
  const page = { win, posted, lines: [], timers: new Map(), written: 0, $: (id) => win.document.getElementById(id) };
  win.console.info = (text) => page.lines.push(text);
  const setItem = win.Storage.prototype.setItem;
  win.Storage.prototype.setItem = function counted(key, value) { page.written += String(value).length; setItem.call(this, key, value); };
  let timer = 0;
  const setTimer = (fn, ms) => { page.timers.set(++timer, { fn, ms }); return timer; };
  page.app = await startApp(win, { loadConfig, crypto: webcrypto, setTimer, clearTimer: (t) => page.timers.delete(t) });
  page.sent = (handler) => posted.filter((p) => p.handler === handler).map((p) => p.data);
  page.part = (path, id) => page.app.list.item(path)?.querySelector(`[data-testid="${id}"]`);
  page.setDark = (value) => { dark = value; themeListeners.forEach((fn) => fn()); };
  page.fireTimers = () => [...page.timers.keys()].forEach((id) => { const { fn } = page.timers.get(id); page.timers.delete(id); fn(); });
  page.signIn = async (answer) => {
    page.$('sign-in').click();
    while (!page.sent('openBrowser').length) await new Promise((r) => setTimeout(r, 5));
    win.velunio.handleCallback(`velunioprinter://callback?code=C&state=${new URL(page.sent('openBrowser')[0]).searchParams.get('state')}`);
    await tick();
    win.velunio._onTokenResponse(answer, null);
    await tick();
  };
  return page;
}

test('the sign-in screen words hold whether or not a browser opened, offers the link, and a callback signs in', async () => {
  const page = await openPage();
  assert.deepEqual([page.$('app').dataset.screen, page.sent('resizeWindow'), page.sent('startFileWatcher')], ['signin', ['signin'], []]);
  await page.signIn('{"access_token":"AT","expires_in":3600,"email":"ana@example.com"}');
  assert.equal(page.$('signin-link').value, page.sent('openBrowser')[0]);
  assert.match(page.$('signin-waiting').textContent, /asked your browser[\s\S]*No browser window\?/);
  assert.deepEqual([page.$('app').dataset.screen, page.sent('startFileWatcher').length, page.$('account').textContent], ['home', 1, 'Signed in as ana@example.com']);
  page.win.velunio.handleCallback('velunioprinter://callback?code=C&state=forged');
  await tick();
  assert.deepEqual([page.sent('postToken').length, page.$('banner').hidden], [1, true], 'a stray answer while signed in is ignored');
});

test('uploads: the cleaned name in its flow, a bar that ends at the size, failures in words with the detail to copy', async () => {
  const page = await openPage(signedIn);
  const v = page.win.velunio;
  const evil = '/o/<img src=x onerror="window.hacked=1">.pdf';
  for (const name of ['a', 'b', 'big', 'lost']) v._onNewPrintedFile(`/o/${name}.pdf`, name === 'b' ? 'request_signature' : 'sign_myself');
  v._onNewPrintedFile(evil, 'sign_myself');
  assert.deepEqual([...page.$('list-sign_myself').children].map((li) => li.querySelector('.document-name').textContent), ['<img src=x onerror="window.hacked=1">.pdf', 'lost.pdf', 'big.pdf', 'a.pdf']);
  assert.equal(page.win.document.querySelector('#screen-home img'), null);
  page.part('/o/b.pdf', 'envelope-name').value = ' Contract\u0007 for Ana ';
  page.part('/o/b.pdf', 'envelope-name').dispatchEvent(new page.win.Event('input'));
  for (const name of ['a', 'b', 'lost', 'a']) page.part(`/o/${name}.pdf`, 'upload').click();
  await tick();
  assert.equal(page.sent('uploadPrintedFile').length, 3, 'a document on its way is not sent twice');
  assert.deepEqual(JSON.parse(page.sent('uploadPrintedFile')[1]), { envelopeFlowType: 'REQUEST_SIGNATURE', endpoint: config.graphqlEndpoint, token: 'AT', path: '/o/b.pdf', envelopeName: 'Contract for Ana' });

  const bar = page.part('/o/b.pdf', 'progress');
  const shown = [[bar.hidden, bar.classList.contains('determinate')]];
  for (const sent of [13002342, 157286400]) {
    v._onUploadProgress('/o/b.pdf', sent, 157286400);
    shown.push([bar.getAttribute('aria-valuenow'), bar.firstElementChild.style.width, page.part('/o/b.pdf', 'progress-size').textContent]);
  }
  assert.deepEqual(shown, [[false, false], ['8', `${(13002342 / 157286400) * 100}%`, '12.4 of 150 MB'], ['100', '100%', '150 of 150 MB']]);
  v._onUploadResult('{"path":"/o/b.pdf","envelopeId":"env_01"}');
  v._onUploadProgress('/o/b.pdf', 1, 2);
  assert.deepEqual([bar.hidden, page.part('/o/b.pdf', 'envelope-id').textContent, page.part('/o/b.pdf', 'upload').hidden], [true, 'ID env_01', true]);
  page.part('/o/b.pdf', 'open-envelope').click();
  assert.deepEqual(page.sent('openBrowser'), ['http://127.0.0.1:8640/envelopes/env_01']);

  const raw = 'curl_easy_perform failed (curl 28: Operation timed out after 30000 milliseconds)';
  v._onUploadResult(JSON.stringify({ path: '/o/a.pdf', error: raw }));
  let copied = null;
  Object.defineProperty(page.win.navigator, 'clipboard', { value: { writeText: async (t) => { copied = t; } } });
  page.part('/o/a.pdf', 'copy-detail').click();
  await tick();
  assert.match(page.part('/o/a.pdf', 'status-text').textContent, /^The upload took too long/);
  assert.deepEqual([page.part('/o/a.pdf', 'status-detail').hidden, copied, page.part('/o/a.pdf', 'upload').textContent], [false, raw, 'Try again']);

  v._onUploadResult('{"path":"/o/big.pdf","error":"native_handled"}');
  page.part('/o/big.pdf', 'remove').click();
  assert.deepEqual([page.sent('deletePrintedFile'), page.app.list.item('/o/big.pdf')], [[], null], 'the native side deleted it already');

  // No result for "lost", sent before any progress was seen: its long time-out offers Try again; a late result still counts.
  assert.deepEqual([...page.timers.values()].map((t) => t.ms), [UPLOAD_NO_PROGRESS_MS]);
  page.fireTimers();
  assert.match(page.part('/o/lost.pdf', 'status-text').textContent, /No answer came/);
  assert.equal(page.part('/o/lost.pdf', 'upload').hidden, false);
  v._onUploadResult('{"path":"/o/lost.pdf","envelopeId":"env_late"}');
  assert.equal(page.app.store.get('/o/lost.pdf').status, 'done');
  page.part('/o/a.pdf', 'upload').click();
  await tick();
  assert.deepEqual([...page.timers.values()].map((t) => t.ms), [UPLOAD_SILENCE_MS]);
});

test('a sign-in out of reach is a banner; an expired one leads to sign in again, after which the document uploads', async () => {
  const page = await openPage(expired);
  const upload = async (answer, error = null) => {
    page.part('/o/a.pdf', 'upload').click();
    await tick();
    page.win.velunio._onTokenResponse(answer, error);
    await tick();
  };
  await upload(null, 'HTTP request failed');
  assert.deepEqual([page.$('app').dataset.screen, page.$('banner').hidden, page.sent('resizeWindow').at(-1)], ['home', false, 'home-with-banner']);
  await upload(null, 'HTTP 400: {"error":"invalid_grant"}');
  assert.deepEqual([page.sent('uploadPrintedFile').length, page.$('app').dataset.screen], [0, 'signin']);
  assert.match(page.$('signin-error').textContent, /expired/);
  await page.signIn('{"access_token":"new","expires_in":3600}');
  assert.deepEqual([page.$('app').dataset.screen, page.part('/o/a.pdf', 'upload').hidden, page.part('/o/a.pdf', 'upload').textContent], ['home', false, 'Upload']);
  page.part('/o/a.pdf', 'upload').click();
  await tick();
  assert.equal(JSON.parse(page.sent('uploadPrintedFile')[0]).token, 'new');
});

test('remove deletes one file, clear all asks first, sign-out returns to the sign-in screen; each change is one log line', async () => {
  const page = await openPage({ ...signedIn, documents: [stored('/o/kept.pdf')] });
  const path = '/o/It\'s "here".pdf';
  for (const p of ['/o/kept.pdf', path, path]) page.win.velunio._onNewPrintedFile(p, 'sign_myself');
  page.win.velunio._onUploadResult('{"path":"/elsewhere.pdf","envelopeId":"env_1"}');
  page.part(path, 'remove').click();
  page.$('clear-all').click();
  page.$('confirm-clear-no').click();
  assert.deepEqual([page.sent('deletePrintedFile'), page.sent('clearPrintedFiles').length, page.win.document.querySelectorAll('li.document').length], [[path], 0, 1]);
  page.$('clear-all').click();
  page.$('confirm-clear-yes').click();
  assert.deepEqual([page.sent('clearPrintedFiles').length, page.$('empty-state').hidden, page.$('group-sign_myself').hidden], [1, false, true]);
  page.$('sign-out').click();
  const entry = (p) => JSON.stringify({ path: p, flow: 'sign_myself', status: 'ready', envelopeId: null });
  assert.deepEqual(page.lines, [`[page] documents [${entry('/o/kept.pdf')}]`, '[page] screen home', `[page] document ${entry(path)}`,
    `[page] document removed ${JSON.stringify({ path })}`, '[page] documents []', '[page] screen signin']);
});

test('the window follows the theme; a page without the bridge, bad settings or loose scripts is refused', async () => {
  assert.deepEqual([...readUi('css/app.css').matchAll(/--bg: (#\w+)/g)].map((m) => m[1]), [THEMES.light, THEMES.dark]);
  const page = await openPage({ dark: true });
  page.setDark(false);
  assert.deepEqual([page.sent('setWindowBackground'), page.win.document.documentElement.dataset.theme], [[THEMES.dark, THEMES.light], 'light']);
  assert.equal((await openPage({ ...signedIn, bridge: false })).$('banner').hidden, false);
  const bad = await openPage({ loadConfig: async () => ({ ...config, tokenUrl: 'javascript:alert(1)' }) });
  assert.deepEqual([bad.$('app').dataset.screen, /tokenUrl/.test(bad.$('problem-text').textContent)], ['problem', true]);
  assert.throws(() => validateConfig({ ...config, envelopeUrl: 'http://x/' }), /\{id\}/);
  const document = new JSDOM(readUi('index.html')).window.document;
  assert.doesNotMatch(document.querySelector('meta[http-equiv="Content-Security-Policy"]').content, /unsafe-inline|unsafe-eval|https?:|script-src(?! 'self';)/);
  assert.deepEqual([...document.querySelectorAll('script')].map((s) => [s.type, s.getAttribute('src'), s.textContent]), [['module', 'js/main.js', '']]);
  assert.equal(document.querySelectorAll('[onclick],[onload],[onerror],[style]').length, 0);
});

test('a thousand documents: each arrival costs the same, and a restart with them is quiet', async () => {
  const page = await openPage(signedIn);
  const cost = [];
  for (let i = 0; i < 1000; i++) {
    const before = { lines: page.lines.length, written: page.written, at: performance.now() };
    page.win.velunio._onNewPrintedFile(`/o/sign-myself/${1000 + i}-document.pdf`, 'sign_myself');
    cost.push({ ms: performance.now() - before.at, logged: page.lines.slice(before.lines).join('').length, written: page.written - before.written });
  }
  const sum = (from, key) => cost.slice(from, from + 100).reduce((s, c) => s + c[key], 0);
  assert.ok(sum(900, 'ms') <= 2 * sum(0, 'ms') + 20, `last hundred ${sum(900, 'ms')} ms, first ${sum(0, 'ms')} ms`);
  for (const key of ['logged', 'written']) assert.equal(sum(900, key), sum(0, key), `${key} grows with the list`);

  const documents = [...page.app.store.all()];
  const again = await openPage({ ...signedIn, documents });
  const quiet = { lines: again.lines.length, written: again.written, mutations: 0 };
  new again.win.MutationObserver((m) => { quiet.mutations += m.length; }).observe(again.$('app'), { subtree: true, childList: true, attributes: true });
  const started = performance.now();
  for (const d of documents) again.win.velunio._onNewPrintedFile(d.path, d.flow);
  const ms = performance.now() - started;
  await tick();
  assert.ok(ms < 500, `the files found again took ${ms} ms`);
  assert.deepEqual([again.win.document.querySelectorAll('li.document').length, again.lines.length, again.written, quiet.mutations],
    [1000, quiet.lines, quiet.written, 0], 'files found again are not news');
});
