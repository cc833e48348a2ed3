import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const uiDir = join(dirname(fileURLToPath(import.meta.url)), '..', '..', 'ui');

// The bridge shim that the native side injects into every document.
export const BRIDGE_SHIM = "(function(){if(!window.webkit)window.webkit={};if(!window.webkit.messageHandlers)window.webkit.messageHandlers={};['showAlert','bringToFront','openBrowser','resizeWindow','setWindowBackground','httpGet','postToken','startFileWatcher','uploadPrintedFile','deletePrintedFile','clearPrintedFiles'].forEach(function(n){window.webkit.messageHandlers[n]={postMessage:function(d){window.chrome.webview.postMessage(JSON.stringify({handler:n,data:d===undefined?null:d}));}};});})();";

export function memoryStorage(initial = {}) {
  const map = new Map(Object.entries(initial));
  return {
    getItem: (k) => (map.has(k) ? map.get(k) : null),
    setItem: (k, v) => map.set(k, String(v)),
    removeItem: (k) => map.delete(k),
    keys: () => [...map.keys()],
  };
}

// A window whose message handlers record what the page posts, in the form
// the native side receives it: handler name and data string.
export function recordingWindow(extra = {}) {
  const posted = [];
  const win = { webkit: { messageHandlers: {} }, ...extra };
  const names = ['showAlert', 'bringToFront', 'openBrowser', 'resizeWindow', 'setWindowBackground', 'httpGet',
    'postToken', 'startFileWatcher', 'uploadPrintedFile', 'deletePrintedFile', 'clearPrintedFiles'];
  for (const n of names) win.webkit.messageHandlers[n] = { postMessage: (d) => posted.push({ handler: n, data: d }) };
  return { win, posted };
}

export const config = {
  authorizeUrl: 'http://127.0.0.1:8640/oauth/authorize',
  tokenUrl: 'http://127.0.0.1:8640/oauth/token',
  graphqlEndpoint: 'http://127.0.0.1:8640/graphql',
  clientId: 'velunio-printaro',
  redirectUri: 'velunioprinter://callback',
  scope: 'envelopes',
  envelopeUrl: 'http://127.0.0.1:8640/envelopes/{id}',
};

export function readUi(path) {
  return readFileSync(join(uiDir, path), 'utf8');
}
