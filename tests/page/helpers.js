import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const HANDLERS = ['showAlert', 'bringToFront', 'openBrowser', 'resizeWindow', 'setWindowBackground', 'httpGet',
  'postToken', 'startFileWatcher', 'uploadPrintedFile', 'deletePrintedFile', 'clearPrintedFiles'];
// The bridge shim that the native side injects into every document.
export const BRIDGE_SHIM = `(function(){if(!window.webkit)window.webkit={};if(!window.webkit.messageHandlers)window.webkit.messageHandlers={};${JSON.stringify(HANDLERS).replace(/"/g, "'")}.forEach(function(n){window.webkit.messageHandlers[n]={postMessage:function(d){window.chrome.webview.postMessage(JSON.stringify({handler:n,data:d===undefined?null:d}));}};});})();`;

// How the native side reads a member: the first occurrence of the quoted key
// anywhere in the text, then blanks, tabs or colons, then a string.
export function nativeFindString(text, key) {
  const at = text.indexOf(`"${key}"`);
  if (at < 0) return null;
  let i = at + key.length + 2;
  while (i < text.length && ' \t:'.includes(text[i])) i++;
  if (text[i] !== '"') return null;
  let value = '';
  for (i++; i < text.length && text[i] !== '"'; i++) {
    if (text[i] === '\\' && i + 1 < text.length) value += { n: '\n', r: '\r', t: '\t' }[text[++i]] ?? text[i];
    else value += text[i];
  }
  return value;
}

export function memoryStorage(initial = {}) {
  const map = new Map(Object.entries(initial));
  return { get length() { return map.size; }, key: (i) => [...map.keys()][i] ?? null, getItem: (k) => map.get(k) ?? null,
    setItem: (k, v) => map.set(k, String(v)), removeItem: (k) => map.delete(k) };
}

// A window whose message handlers record what the page posts, in the form
// the native side receives it: handler name and data string.
export function recordingWindow(extra = {}) {
  const posted = [];
  const win = { webkit: { messageHandlers: {} }, ...extra };
  for (const n of HANDLERS) win.webkit.messageHandlers[n] = { postMessage: (d) => posted.push({ handler: n, data: d }) };
  return { win, posted };
}

export const readUi = (path) => readFileSync(join(dirname(fileURLToPath(import.meta.url)), '..', '..', 'ui', path), 'utf8');
// The settings the page ships with.
export const config = JSON.parse(readUi('config.json'));
export const tick = () => new Promise((r) => setTimeout(r, 0));
