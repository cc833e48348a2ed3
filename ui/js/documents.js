// The printed documents the native side has reported, and where each one's
// upload stands. Kept in local storage, one key per document so that a change
// writes one entry however long the list is: the native side reports a file
// only once per run, so a reloaded page would otherwise lose its list.
import { describeUploadError } from './words.js';

export const DOCUMENT_KEY_PREFIX = 'velunio.document:';
// Earlier versions kept the whole list under this one key; it is split on load.
export const LEGACY_DOCUMENTS_KEY = 'velunio.documents';

export const FLOWS = {
  sign_myself: { envelopeFlowType: 'SIGN_MYSELF', title: 'Sign myself', printer: 'Sign Myself (Velunio)' },
  request_signature: { envelopeFlowType: 'REQUEST_SIGNATURE', title: 'Request signatures', printer: 'Request Signature (Velunio)' },
};

export function baseName(path) {
  const text = String(path);
  const cut = Math.max(text.lastIndexOf('/'), text.lastIndexOf('\\'));
  return cut < 0 ? text : text.slice(cut + 1);
}

// The native side's JSON reader knows only the escapes \n \r \t \" \\: other
// control characters and lone surrogates would arrive as other letters.
export function cleanEnvelopeName(text) {
  return String(text)
    .replace(/[\u0000-\u001f\u007f-\u009f]/g, ' ')
    .replace(/[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g, '\ufffd')
    .replace(/\s+/g, ' ')
    .trim();
}

export function defaultEnvelopeName(path) {
  return cleanEnvelopeName(baseName(path).replace(/\.pdf$/i, '')) || 'Printed document';
}

// The upload result is JSON text with "path" and either "envelopeId" or "error".
export function parseUploadResult(jsonText) {
  let value;
  try {
    value = JSON.parse(jsonText);
  } catch {
    return null;
  }
  if (!value || typeof value.path !== 'string') return null;
  if (typeof value.error === 'string') return { path: value.path, error: value.error };
  if (typeof value.envelopeId === 'string' && value.envelopeId !== '') return { path: value.path, envelopeId: value.envelopeId };
  return { path: value.path, error: 'Missing envelope id in response' };
}

const INTERRUPTED = 'The upload was cut off when Velunio Printaro closed. Look in Velunio before you try again, so that the envelope is not made twice.';

function readStored(storage) {
  const found = [];
  const take = (d) => {
    if (d && typeof d.path === 'string' && d.path !== '' && FLOWS[d.flow]) found.push(d);
  };
  try {
    const legacy = storage.getItem(LEGACY_DOCUMENTS_KEY);
    if (legacy !== null) {
      const list = JSON.parse(legacy);
      if (Array.isArray(list)) list.forEach(take);
    }
  } catch {
    // An unreadable old list is dropped; the files are reported again.
  }
  for (let i = 0; i < storage.length; i++) {
    const key = storage.key(i);
    if (!key || !key.startsWith(DOCUMENT_KEY_PREFIX)) continue;
    try {
      take(JSON.parse(storage.getItem(key)));
    } catch {
      // One damaged entry costs only itself.
    }
  }
  return found.sort((a, b) => (a.reportedAt ?? 0) - (b.reportedAt ?? 0));
}

// Changes reach subscribers one document at a time: { type: 'added' | 'changed'
// | 'moved' | 'progress' | 'removed', doc } or { type: 'cleared' }.
export function createDocumentStore({ storage, now = () => Date.now() }) {
  const documents = new Map();
  const listeners = [];
  // Paths reported during this page's life. The first report of a document
  // kept from before is the start-up scan finding its file still there.
  const reported = new Set();

  function save(d) {
    const { progress, ...kept } = d;
    try {
      storage.setItem(DOCUMENT_KEY_PREFIX + d.path, JSON.stringify(kept));
    } catch {
      // Storage full or refused: the list still works for this session.
    }
  }

  function emit(type, doc) {
    for (const fn of listeners) fn({ type, doc });
  }

  function update(path, fields, type = 'changed') {
    const d = documents.get(path);
    if (!d) return null;
    Object.assign(d, fields);
    save(d);
    emit(type, d);
    return d;
  }

  function forget(key) {
    try {
      storage.removeItem(key);
    } catch {
      // See save(); an old list left behind is read again, which is harmless.
    }
  }

  for (const d of readStored(storage)) {
    documents.set(d.path, d);
    // An upload under way when the page went away has lost its answer.
    const cut = d.status === 'uploading';
    if (cut) Object.assign(d, { status: 'failed', error: INTERRUPTED, retry: true, detail: null });
    if (cut || storage.getItem(DOCUMENT_KEY_PREFIX + d.path) === null) save(d);
  }
  forget(LEGACY_DOCUMENTS_KEY);

  const store = {
    // A path reported again in this run is the same name given to a new file:
    // it goes back to the top as ready, but a finished one keeps its envelope.
    add(path, flow) {
      if (typeof path !== 'string' || path === '') return null;
      const knownFlow = FLOWS[flow] ? flow : 'sign_myself';
      const existing = documents.get(path);
      const again = reported.has(path);
      reported.add(path);
      if (existing) {
        if (again && (existing.status === 'ready' || existing.status === 'failed')) {
          documents.delete(path);
          documents.set(path, existing);
          update(path, { flow: knownFlow, reportedAt: now(), status: 'ready', error: null, detail: null, needsSignIn: false }, 'moved');
        }
        return existing;
      }
      const d = {
        path,
        flow: knownFlow,
        fileName: baseName(path),
        envelopeName: defaultEnvelopeName(path),
        reportedAt: now(),
        status: 'ready',
        envelopeId: null,
        error: null,
        retry: false,
        signIn: false,
        needsSignIn: false,
        detail: null,
      };
      documents.set(path, d);
      save(d);
      emit('added', d);
      return d;
    },
    get: (path) => documents.get(path) ?? null,
    all: () => [...documents.values()],
    // Newest first; the same moment keeps the order of arrival.
    list: (flow) => [...documents.values()].filter((d) => d.flow === flow).reverse()
      .sort((a, b) => b.reportedAt - a.reportedAt),
    setEnvelopeName(path, name) {
      const d = documents.get(path);
      if (d && d.status !== 'uploading') {
        d.envelopeName = String(name);
        save(d);
      }
    },
    // Returns false when the document is unknown or already on its way.
    markUploading(path) {
      const d = documents.get(path);
      if (!d || d.status === 'uploading' || d.status === 'done' || d.status === 'too_large') return false;
      update(path, { status: 'uploading', error: null, retry: false, signIn: false, needsSignIn: false, detail: null, progress: null });
      return true;
    },
    // A failure the page itself saw. `needsSignIn`: nothing but a new sign-in
    // helps, and one makes the document uploadable again.
    markFailed(path, message, { retry = true, signIn = false, needsSignIn = false, detail = null } = {}) {
      return update(path, { status: 'failed', error: message, retry, signIn, needsSignIn, detail, progress: null });
    },
    // Only an upload under way moves; the numbers are kept out of storage.
    setProgress(path, sent, total) {
      const d = documents.get(path);
      if (!d || d.status !== 'uploading' || !(total > 0) || !(sent >= 0)) return null;
      d.progress = { sent: Math.min(sent, total), total };
      emit('progress', d);
      return d;
    },
    applyResult(result) {
      if (!result || !documents.has(result.path)) return null;
      if (result.envelopeId) {
        return update(result.path, { status: 'done', envelopeId: result.envelopeId, error: null, detail: null, progress: null });
      }
      const words = describeUploadError(result.error);
      return update(result.path, {
        status: words.calm ? 'too_large' : 'failed',
        error: words.message,
        retry: words.retry,
        signIn: words.signIn,
        needsSignIn: false,
        detail: words.detail,
        progress: null,
      });
    },
    // After a new sign-in, documents that waited for one can be uploaded again.
    signedIn() {
      for (const d of documents.values()) {
        if (d.status === 'failed' && d.needsSignIn) {
          update(d.path, { status: 'ready', error: null, retry: false, signIn: false, needsSignIn: false, detail: null });
        }
      }
    },
    remove(path) {
      const d = documents.get(path);
      if (!d) return;
      documents.delete(path);
      forget(DOCUMENT_KEY_PREFIX + path);
      emit('removed', d);
    },
    clear() {
      for (const path of documents.keys()) forget(DOCUMENT_KEY_PREFIX + path);
      documents.clear();
      for (const fn of listeners) fn({ type: 'cleared' });
    },
    subscribe(fn) {
      listeners.push(fn);
    },
  };
  return store;
}
