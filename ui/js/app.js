// The page: screens, the document list and what the user's actions ask of
// the native side. Every text from outside the page reaches the screen via
// textContent, never as markup.
import { createBridge } from './bridge.js';
import { createAuth } from './auth.js';
import { createDocumentStore, parseUploadResult, defaultEnvelopeName, FLOWS } from './documents.js';

export const THEMES = { light: '#f4f6f8', dark: '#1b1f24' };
export const CONFIG_KEYS = ['authorizeUrl', 'tokenUrl', 'graphqlEndpoint', 'clientId', 'redirectUri', 'envelopeUrl'];

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

export function formatTime(ms, nowMs) {
  const at = new Date(ms);
  const today = new Date(nowMs);
  const time = at.toLocaleTimeString(undefined, { hour: '2-digit', minute: '2-digit' });
  if (at.toDateString() === today.toDateString()) return time;
  return `${at.toLocaleDateString(undefined, { day: 'numeric', month: 'short' })}, ${time}`;
}

export async function startApp(win, options = {}) {
  const doc = win.document;
  const now = options.now ?? (() => Date.now());
  const crypto = options.crypto ?? win.crypto;
  const storage = options.storage ?? win.localStorage;
  const loadConfig = options.loadConfig ?? (async () => {
    const res = await win.fetch('config.json', { cache: 'no-store' });
    if (!res.ok) throw new Error(`config.json could not be loaded (${res.status})`);
    return res.json();
  });
  const $ = (id) => doc.getElementById(id);

  // Callbacks may come while the settings are still loading: the bridge is
  // installed first, and callback URLs wait for the sign-in logic.
  const bridge = createBridge(win);
  bridge.install();
  const store = createDocumentStore({ storage, now });
  bridge.on('newPrintedFile', (path, flow) => store.add(path, flow));
  bridge.on('uploadResult', (text) => store.applyResult(parseUploadResult(text)));
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

  function showSignIn(message = null) {
    $('signin-waiting').hidden = !auth || !auth.hasPendingSignIn();
    $('signin-error').hidden = !message;
    $('signin-error').textContent = message ?? '';
    show('signin');
  }

  async function signIn() {
    $('signin-error').hidden = true;
    try {
      await auth.beginSignIn();
      $('signin-waiting').hidden = false;
    } catch {
      showSignIn('The sign-in could not be started. Please try again.');
    }
  }
  $('sign-in').addEventListener('click', signIn);
  $('sign-in-again').addEventListener('click', signIn);

  async function handleCallback(url) {
    try {
      if (await auth.completeSignIn(url)) showHome();
    } catch (e) {
      if (auth.isSignedIn()) showBanner(e.message);
      else showSignIn(e.message);
    }
  }

  // --- Home screen ----------------------------------------------------------

  const items = new Map();

  function createItem(d) {
    const li = $('document-template').content.firstElementChild.cloneNode(true);
    li.dataset.path = d.path;
    const input = li.querySelector('[data-testid="envelope-name"]');
    input.addEventListener('input', () => store.setEnvelopeName(d.path, input.value));
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') upload(d.path);
    });
    li.querySelector('[data-testid="upload"]').addEventListener('click', () => upload(d.path));
    li.querySelector('[data-testid="remove"]').addEventListener('click', () => removeDocument(d.path));
    li.querySelector('[data-testid="open-envelope"]').addEventListener('click', () => {
      const current = store.get(d.path);
      if (current && current.envelopeId) bridge.openBrowser(envelopeWebUrl(config, current.envelopeId));
    });
    return li;
  }

  function statusText(d) {
    switch (d.status) {
      case 'uploading': return 'Uploading…';
      case 'done': return 'Envelope created.';
      case 'too_large':
      case 'failed': return d.error ?? '';
      default: return '';
    }
  }

  function updateItem(li, d) {
    const part = (id) => li.querySelector(`[data-testid="${id}"]`);
    li.dataset.status = d.status;
    li.dataset.flow = d.flow;
    if (d.envelopeId) li.dataset.envelopeId = d.envelopeId;
    else delete li.dataset.envelopeId;
    part('document-name').textContent = d.fileName;
    part('document-name').title = d.path;
    part('document-time').textContent = formatTime(d.reportedAt, now());
    const input = part('envelope-name');
    if (doc.activeElement !== input) input.value = d.envelopeName;
    const settled = d.status === 'done' || d.status === 'too_large';
    input.disabled = d.status === 'uploading' || settled;
    part('envelope-name').closest('.document-body').hidden = settled || (d.status === 'failed' && !d.retry);
    const button = part('upload');
    button.hidden = !(d.status === 'ready' || d.status === 'uploading' || (d.status === 'failed' && d.retry));
    button.disabled = d.status === 'uploading';
    button.textContent = d.status === 'failed' ? 'Try again' : 'Upload';
    part('remove').disabled = d.status === 'uploading';
    part('progress').hidden = d.status !== 'uploading';
    const text = part('status-text');
    text.textContent = statusText(d);
    text.className = `status-text${d.status === 'failed' ? ' error' : ''}${d.status === 'too_large' ? ' note' : ''}`;
    part('open-envelope').hidden = d.status !== 'done';
    part('envelope-id').hidden = d.status !== 'done';
    part('envelope-id').textContent = d.status === 'done' ? `ID ${d.envelopeId}` : '';
    const detail = part('status-detail');
    detail.hidden = d.status !== 'failed' || !d.detail;
    detail.textContent = d.status === 'failed' && d.detail ? `(${d.detail})` : '';
  }

  function render() {
    const all = store.all();
    $('empty-state').hidden = all.length > 0;
    $('clear-all').hidden = all.length === 0;
    const present = new Set(all.map((d) => d.path));
    for (const [path, li] of items) {
      if (!present.has(path)) {
        li.remove();
        items.delete(path);
      }
    }
    for (const flow of Object.keys(FLOWS)) {
      const list = $(`list-${flow}`);
      const docs = store.list(flow);
      $(`group-${flow}`).hidden = docs.length === 0;
      for (const d of docs) {
        let li = items.get(d.path);
        if (!li) {
          li = createItem(d);
          items.set(d.path, li);
        }
        updateItem(li, d);
        // Appending in order moves each item to its place, newest first.
        list.appendChild(li);
      }
    }
  }
  store.subscribe(render);

  async function upload(path) {
    const d = store.get(path);
    if (!d) return;
    const name = d.envelopeName.trim() || defaultEnvelopeName(path);
    store.setEnvelopeName(path, name);
    // After a refused sign-in the token is renewed even if it looks valid.
    const force = d.signIn;
    if (!store.markUploading(path)) return;
    let token;
    try {
      token = await auth.accessToken({ force });
    } catch (e) {
      store.markFailed(path, e.message, { retry: !e.signedOut, detail: e.detail });
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
      store.markFailed(path, 'Please sign in to upload this document.');
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
    if (!sent) store.markFailed(path, 'This page is not connected to Velunio Printaro, so nothing can be uploaded.', { retry: true });
  }

  function removeDocument(path) {
    const d = store.get(path);
    if (!d || d.status === 'uploading') return;
    // A file the native side already deleted needs no second deletion.
    if (d.status !== 'too_large') bridge.deletePrintedFile(path);
    store.remove(path);
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

  function showHome() {
    setConfirmOpen(false);
    render();
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
    if (!signedIn && screen === 'home') showSignIn();
  });
  onCallback = handleCallback;
  if (auth.isSignedIn()) showHome();
  else showSignIn();
  for (const url of waitingCallbacks.splice(0)) await handleCallback(url);

  return { bridge, store, auth, config, render };
}
