// The page's side of the native bridge: messages out through
// window.webkit.messageHandlers, callbacks in through window.velunio.

export const HANDLER_NAMES = [
  'showAlert', 'bringToFront', 'openBrowser', 'resizeWindow', 'setWindowBackground', 'httpGet',
  'postToken', 'startFileWatcher', 'uploadPrintedFile', 'deletePrintedFile', 'clearPrintedFiles',
];

// A token request that has had no answer by then is given up.
export const TOKEN_TIMEOUT_MS = 60000;

export function createBridge(win, { setTimer = setTimeout, clearTimer = clearTimeout } = {}) {
  const listeners = { newPrintedFile: [], uploadResult: [], uploadProgress: [], deeplinkResult: [], callback: [] };
  const pendingGets = new Map();
  let nextGetId = 1;
  const tokenQueue = [];
  let tokenInFlight = null;

  // Each handler once found is kept: in WebKitGTK the injected handlers are
  // plain properties of the engine's own window.webkit.messageHandlers object,
  // whose script wrapper the engine may drop and make anew without them.
  const found = new Map();
  function handler(name) {
    const handlers = win.webkit && win.webkit.messageHandlers;
    const h = handlers && handlers[name];
    if (h && typeof h.postMessage === 'function') {
      found.set(name, h);
      return h;
    }
    return found.get(name) ?? null;
  }

  // Native handlers read multi-field data as JSON text inside the message's
  // data string, so objects travel stringified; single values travel as is.
  function post(name, data) {
    const h = handler(name);
    if (!h) return false;
    const payload = data === undefined || data === null ? null : typeof data === 'string' ? data : JSON.stringify(data);
    h.postMessage(payload);
    return true;
  }

  function emit(kind, ...args) {
    for (const fn of listeners[kind]) {
      try {
        fn(...args);
      } catch (e) {
        // One failing listener must not keep the others from the event.
        if (win.console) win.console.error(e);
      }
    }
  }

  // postToken answers carry nothing that names their request, so requests go
  // out one at a time and each answer belongs to the one in flight.
  function sendNextToken() {
    if (tokenInFlight || tokenQueue.length === 0) return;
    tokenInFlight = tokenQueue.shift();
    const current = tokenInFlight;
    current.timer = setTimer(() => {
      if (tokenInFlight === current) finishToken(null, 'No answer from the sign-in service');
    }, TOKEN_TIMEOUT_MS);
    if (!post('postToken', { endpoint: current.endpoint, body: current.body })) {
      finishToken(null, 'bridge unavailable');
    }
  }

  function finishToken(response, error) {
    const current = tokenInFlight;
    if (!current) return;
    tokenInFlight = null;
    clearTimer(current.timer);
    current.resolve({ response: response ?? null, error: error ?? null });
    sendNextToken();
  }

  // Looked up at once, while the injected handlers are certainly in place.
  for (const name of HANDLER_NAMES) handler(name);

  const api = {
    available: () => handler('startFileWatcher') !== null,
    appVersion: () => (typeof win.__VELUNIO_APP_VERSION__ === 'string' ? win.__VELUNIO_APP_VERSION__ : null),
    showAlert: (title, message) => post('showAlert', { title, message }),
    bringToFront: () => post('bringToFront', null),
    openBrowser: (url) => post('openBrowser', String(url)),
    resizeWindow: (screen) => post('resizeWindow', String(screen)),
    setWindowBackground: (color) => post('setWindowBackground', String(color)),
    startFileWatcher: () => post('startFileWatcher', null),
    // The native side takes the first occurrence of a quoted key anywhere in
    // the text, so a value equal to a key name would hide the key after it.
    // Free text therefore comes after every key it could hide: the envelope
    // name last; the path, the only free text before it, ends in ".pdf".
    uploadPrintedFile: ({ path, token, endpoint, envelopeName, envelopeFlowType }) =>
      post('uploadPrintedFile', { envelopeFlowType, endpoint, token, path, envelopeName }),
    deletePrintedFile: (path) => post('deletePrintedFile', String(path)),
    clearPrintedFiles: () => post('clearPrintedFiles', null),

    // Resolves with { response, error }: exactly one of the two is a string.
    postToken(endpoint, body) {
      return new Promise((resolve) => {
        tokenQueue.push({ endpoint, body, resolve, timer: null });
        sendNextToken();
      });
    },

    // Resolves with { body, error }.
    httpGet(url) {
      return new Promise((resolve) => {
        const id = `get-${nextGetId++}`;
        pendingGets.set(id, resolve);
        if (!post('httpGet', { id, url })) {
          pendingGets.delete(id);
          resolve({ body: null, error: 'bridge unavailable' });
        }
      });
    },

    on(kind, fn) {
      listeners[kind].push(fn);
      return () => {
        const i = listeners[kind].indexOf(fn);
        if (i >= 0) listeners[kind].splice(i, 1);
      };
    },

    // Installs the functions that native code calls back.
    install() {
      win.velunio = {
        _onNewPrintedFile: (path, flow) => emit('newPrintedFile', path, flow),
        _onUploadResult: (jsonText) => emit('uploadResult', jsonText),
        _onUploadProgress: (path, sent, total) => emit('uploadProgress', path, Number(sent), Number(total)),
        _onTokenResponse: (response, error) => finishToken(response, error),
        _onHttpGetResponse: (id, body, error) => {
          const resolve = pendingGets.get(id);
          if (!resolve) return;
          pendingGets.delete(id);
          resolve({ body: body ?? null, error: error ?? null });
        },
        _onDeeplinkResult: (ok) => emit('deeplinkResult', ok === true),
        handleCallback: (url) => emit('callback', url),
      };
      return win.velunio;
    },
  };
  return api;
}
