// The page: screens, the document list and what the user's actions ask of
// the native side. Every text from outside the page reaches the screen via
// textContent, never as markup.
import { createBridge } from './bridge.js';
import { createAuth } from './auth.js';
import { createDocumentStore, parseUploadResult, defaultEnvelopeName, cleanEnvelopeName, FLOWS } from './documents.js';
import { createDocumentList, copyText } from './list.js';

export const THEMES = { light: '#f4f6f8', dark: '#1b1f24' };
export const CONFIG_KEYS = ['authorizeUrl', 'tokenUrl', 'graphqlEndpoint', 'clientId', 'redirectUri', 'envelopeUrl'];

// An upload whose result never comes (a lost result, a hung service) is given
// up after this long without a sign of life. Once the native side has shown
// that it reports progress, silence means more: its connect bound is 60 s and
// its stall bound 30 s. Without progress the whole upload must fit, slow
// connections and 150 MB files included.
export const UPLOAD_SILENCE_MS = 2 * 60 * 1000;
export const UPLOAD_NO_PROGRESS_MS = 20 * 60 * 1000;
export const NO_ANSWER = 'No answer came from the upload. The envelope may still have been made: look in Velunio before you try again.';

export function validateConfig(value) {
  if (!value || typeof value !== 'object') throw new Error('config.json holds no settings object');
  for (const key of CONFIG_KEYS) {
    if (typeof value[key] !== 'string' || value[key] === '') throw new Error(`config.json lacks "${key}"`);
  }
  for (const key of ['authorizeUrl', 'tokenUrl', 'graphqlEndpoint']) {
    if (!/^https?:\/\//i.test(value[key])) throw new Error(`"${key}" in config.json is not a web address`);
  }
  if (!value.envelopeUrl.includes('{id}')) throw new Error('"envelopeUrl" in config.json has no {id} in it');
  return { scope: '', ...value };
}

export function envelopeWebUrl(config, id) {
  return config.envelopeUrl.split('{id}').join(encodeURIComponent(id));
}

// What the program's log keeps of a document: the end-to-end test reads it.
const summary = (d) => JSON.stringify({ path: d.path, flow: d.flow, status: d.status, envelopeId: d.envelopeId });

export async function startApp(win, options = {}) {
  const doc = win.document;
  const now = options.now ?? (() => Date.now());
  const crypto = options.crypto ?? win.crypto;
  const storage = options.storage ?? win.localStorage;
  const setTimer = options.setTimer ?? ((fn, ms) => win.setTimeout(fn, ms));
  const clearTimer = options.clearTimer ?? ((t) => win.clearTimeout(t));
  const loadConfig = options.loadConfig ?? (async () => {
    const res = await win.fetch('config.json', { cache: 'no-store' });
    if (!res.ok) throw new Error(`config.json could not be loaded (${res.status})`);
    return res.json();
  });
  const $ = (id) => doc.getElementById(id);

  // The list once at start, then one console line per change of screen and
  // of a document: the program's log tells what the user saw, and when,
  // without repeating the list.
  function logState(text) {
    if (win.console && typeof win.console.info === 'function') win.console.info(`[page] ${text}`);
  }

  // Callbacks may come while the settings are still loading: the bridge is
  // installed first, and callback URLs wait for the sign-in logic.
  const bridge = createBridge(win);
  bridge.install();
  const store = createDocumentStore({ storage, now });
  logState(`documents [${store.all().map(summary).join(',')}]`);
  const logged = new Map(store.all().map((d) => [d.path, summary(d)]));
  const list = createDocumentList({
    win,
    store,
    now,
    actions: { upload: (path) => upload(path), remove: (path) => removeDocument(path), open: openEnvelope },
  });
  store.subscribe((change) => {
    list.apply(change);
    if (change.type === 'cleared') {
      logged.clear();
      logState('documents []');
    } else if (change.type === 'removed') {
      logged.delete(change.doc.path);
      logState(`document removed ${JSON.stringify({ path: change.doc.path })}`);
    } else if (change.type !== 'progress') {
      const line = summary(change.doc);
      if (logged.get(change.doc.path) !== line) logState(`document ${line}`);
      logged.set(change.doc.path, line);
    }
  });
  bridge.on('newPrintedFile', (path, flow) => store.add(path, flow));
  bridge.on('uploadResult', (text) => {
    const result = parseUploadResult(text);
    if (result) stopWatch(result.path);
    store.applyResult(result);
  });
  bridge.on('uploadProgress', (path, sent, total) => {
    progressReported = true;
    if (store.setProgress(path, sent, total)) watch(path);
  });
  const waitingCallbacks = [];
  let onCallback = (url) => waitingCallbacks.push(url);
  bridge.on('callback', (url) => onCallback(url));

  let screen = 'loading';
  let bannerShown = false;
  // Whether the banner tells of a sign-in service out of reach, which the
  // next token that arrives disproves.
  let signInBanner = false;
  let config = null;
  let auth = null;

  function sizeWindow() {
    if (screen === 'home') bridge.resizeWindow(bannerShown ? 'home-with-banner' : 'home');
    else bridge.resizeWindow('signin');
  }

  function show(name) {
    if (name !== screen) logState(`screen ${name}`);
    screen = name;
    $('app').dataset.screen = name;
    for (const s of ['loading', 'problem', 'signin', 'home']) $(`screen-${s}`).hidden = s !== name;
    sizeWindow();
  }

  function showBanner(text) {
    signInBanner = false;
    $('banner-text').textContent = text;
    $('banner').hidden = false;
    bannerShown = true;
    sizeWindow();
  }

  function hideBanner() {
    $('banner').hidden = true;
    bannerShown = false;
    signInBanner = false;
    sizeWindow();
  }
  $('banner-close').addEventListener('click', hideBanner);

  // The window's strip takes the page's background, so a dark desktop theme
  // gives a dark window throughout.
  function applyTheme() {
    const dark = typeof win.matchMedia === 'function' && win.matchMedia('(prefers-color-scheme: dark)').matches;
    doc.documentElement.dataset.theme = dark ? 'dark' : 'light';
    bridge.setWindowBackground(dark ? THEMES.dark : THEMES.light);
  }
  applyTheme();
  if (typeof win.matchMedia === 'function') {
    const query = win.matchMedia('(prefers-color-scheme: dark)');
    if (query && typeof query.addEventListener === 'function') query.addEventListener('change', applyTheme);
  }

  const version = bridge.appVersion();
  $('version').textContent = version && version !== 'unknown' ? `Version ${version}` : '';

  if (!bridge.available()) {
    showBanner('This page works only inside Velunio Printaro.');
  }

  // --- Sign-in screen -------------------------------------------------------

  // The native side cannot tell whether a browser window really opened, so
  // the words hold either way and the address is there to copy.
  function showWaiting() {
    const url = auth && auth.pendingSignInUrl();
    $('signin-waiting').hidden = !url;
    $('signin-intro').hidden = Boolean(url);
    $('signin-link').value = url ?? '';
    $('copy-signin-link').textContent = 'Copy link';
  }

  function showSignIn(message = null) {
    showWaiting();
    $('signin-error').hidden = !message;
    $('signin-error').textContent = message ?? '';
    show('signin');
  }

  async function signIn() {
    $('signin-error').hidden = true;
    try {
      await auth.beginSignIn();
      showWaiting();
    } catch {
      showSignIn('The sign-in could not be started. Please try again.');
    }
  }
  $('sign-in').addEventListener('click', signIn);
  $('sign-in-again').addEventListener('click', signIn);
  $('copy-signin-link').addEventListener('click', async () => {
    const copied = await copyText(win, $('signin-link').value, $('signin-link'));
    $('copy-signin-link').textContent = copied ? 'Copied' : 'Select and copy';
  });

  async function handleCallback(url) {
    try {
      if (await auth.completeSignIn(url)) showHome();
    } catch (e) {
      if (auth.isSignedIn()) showBanner(e.message);
      else showSignIn(e.message);
    }
  }

  // --- Home screen ----------------------------------------------------------

  // Safety time-outs of the uploads under way, by path.
  const watches = new Map();
  let progressReported = false;

  function watch(path) {
    stopWatch(path);
    const ms = progressReported ? UPLOAD_SILENCE_MS : UPLOAD_NO_PROGRESS_MS;
    watches.set(path, setTimer(() => {
      watches.delete(path);
      const d = store.get(path);
      if (d && d.status === 'uploading') {
        store.markFailed(path, NO_ANSWER, { detail: `No result and no progress for ${Math.round(ms / 60000)} minutes` });
      }
    }, ms));
  }

  function stopWatch(path) {
    if (watches.has(path)) clearTimer(watches.get(path));
    watches.delete(path);
  }

  async function upload(path) {
    const d = store.get(path);
    if (!d) return;
    const name = cleanEnvelopeName(d.envelopeName) || defaultEnvelopeName(path);
    store.setEnvelopeName(path, name);
    // After a refused sign-in the token is renewed even if it looks valid.
    const force = d.signIn;
    if (!store.markUploading(path)) return;
    let token;
    try {
      token = await auth.accessToken({ force });
    } catch (e) {
      store.markFailed(path, e.message, { retry: !e.signedOut, needsSignIn: e.signedOut, detail: e.detail });
      // The sign-in, not this document, is what failed: say so once, above the list.
      if (e.signedOut) showSignIn(e.message);
      else {
        showBanner(e.message);
        signInBanner = true;
      }
      return;
    }
    if (signInBanner && token) hideBanner();
    if (!token) {
      store.markFailed(path, 'Please sign in to upload this document.', { retry: false, needsSignIn: true });
      showSignIn();
      return;
    }
    const sent = bridge.uploadPrintedFile({
      path,
      token,
      endpoint: config.graphqlEndpoint,
      envelopeName: name,
      envelopeFlowType: FLOWS[d.flow].envelopeFlowType,
    });
    if (sent) watch(path);
    else store.markFailed(path, 'This page is not connected to Velunio Printaro, so nothing can be uploaded.');
  }

  function removeDocument(path) {
    const d = store.get(path);
    if (!d || d.status === 'uploading') return;
    // A file the native side already deleted needs no second deletion.
    if (d.status !== 'too_large') bridge.deletePrintedFile(path);
    store.remove(path);
  }

  function openEnvelope(path) {
    const d = store.get(path);
    if (d && d.envelopeId) bridge.openBrowser(envelopeWebUrl(config, d.envelopeId));
  }

  function setConfirmOpen(open) {
    $('confirm-clear').hidden = !open;
    if (open) $('confirm-clear-no').focus();
  }
  $('clear-all').addEventListener('click', () => setConfirmOpen(true));
  $('confirm-clear-no').addEventListener('click', () => setConfirmOpen(false));
  $('confirm-clear-yes').addEventListener('click', () => {
    setConfirmOpen(false);
    bridge.clearPrintedFiles();
    store.clear();
  });
  doc.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && !$('confirm-clear').hidden) setConfirmOpen(false);
  });

  $('sign-out').addEventListener('click', () => auth.signOut());

  let listShown = false;
  function showHome() {
    setConfirmOpen(false);
    const account = auth.account();
    $('account').hidden = !account;
    $('account').textContent = account ? `Signed in as ${account}` : '';
    if (!listShown) list.renderAll();
    listShown = true;
    show('home');
    // The native side watches once per run and ignores later calls.
    bridge.startFileWatcher();
  }

  // --- Start ----------------------------------------------------------------

  try {
    config = validateConfig(await loadConfig());
  } catch (e) {
    $('problem-text').textContent = `Velunio Printaro could not load its settings. Please reinstall the program. (${e.message})`;
    show('problem');
    return { bridge, store, auth: null, config: null };
  }

  auth = createAuth({ config, bridge, storage, crypto, now });
  auth.onChange((signedIn) => {
    if (signedIn) store.signedIn();
    else if (screen === 'home') showSignIn();
  });
  onCallback = handleCallback;
  if (auth.isSignedIn()) showHome();
  else showSignIn();
  for (const url of waitingCallbacks.splice(0)) await handleCallback(url);

  return { bridge, store, auth, config, list };
}
