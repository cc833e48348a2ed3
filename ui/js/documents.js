// The printed documents the native side has reported, and where each one's
// upload stands. Kept in local storage: the native side reports a file only
// once per run, so a reloaded page would otherwise lose its list.

export const DOCUMENTS_KEY = 'velunio.documents';

export const FLOWS = {
  sign_myself: { envelopeFlowType: 'SIGN_MYSELF', title: 'Sign myself', printer: 'Sign Myself (Velunio)' },
  request_signature: { envelopeFlowType: 'REQUEST_SIGNATURE', title: 'Request signatures', printer: 'Request Signature (Velunio)' },
};

export function baseName(path) {
  const text = String(path);
  const cut = Math.max(text.lastIndexOf('/'), text.lastIndexOf('\\'));
  return cut < 0 ? text : text.slice(cut + 1);
}

export function defaultEnvelopeName(path) {
  const name = baseName(path).replace(/\.pdf$/i, '').trim();
  return name || 'Printed document';
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

// Turns the native side's error text into words for the user. `retry` says
// whether trying again can help; `signIn` that the sign-in was refused.
export function describeUploadError(error) {
  const text = String(error ?? '');
  if (text === 'native_handled') {
    return { message: 'This file is too large to sign, so it was removed. Try printing fewer pages.', retry: false, calm: true };
  }
  if (text === 'Cannot read file') {
    return { message: 'The printed file could not be read. It may have been moved or deleted.', retry: true };
  }
  const status = /^HTTP (\d{3})$/.exec(text);
  if (status) {
    const code = Number(status[1]);
    if (code === 401) return { message: 'The signing service did not accept your sign-in. Try again, or sign out and sign in again.', retry: true, signIn: true };
    if (code === 403) return { message: 'The signing service does not accept uploads from this program.', retry: true };
    if (code === 413) return { message: 'The signing service says this file is too large.', retry: false };
    if (code >= 500) return { message: `The signing service has a problem right now (error ${code}). Please try again later.`, retry: true };
    return { message: `The signing service refused the upload (error ${code}).`, retry: true };
  }
  if (text === 'Empty response' || text === 'Missing envelope id in response') {
    return { message: 'The signing service gave no envelope back. Please try again.', retry: true };
  }
  if (text === 'GraphQL error') {
    return { message: 'The signing service could not create the envelope.', retry: true };
  }
  if (/^(HTTP request failed|curl|\[WinHTTP\])/i.test(text) || /could ?n[o']?t (connect|resolve)|connection|timed? ?out|network|ssl|tls|certificate/i.test(text)) {
    return { message: 'The signing service could not be reached. Check your connection and try again.', retry: true };
  }
  // Anything else is the service's own explanation of why it refused the envelope.
  return { message: `The signing service could not create the envelope: ${text}`, retry: true };
}

function load(storage) {
  try {
    const list = JSON.parse(storage.getItem(DOCUMENTS_KEY) ?? '[]');
    if (!Array.isArray(list)) return [];
    return list
      .filter((d) => d && typeof d.path === 'string' && FLOWS[d.flow])
      // An upload that was under way when the page went away has lost its answer.
      .map((d) => (d.status === 'uploading'
        ? { ...d, status: 'failed', error: 'The upload was interrupted. You can try again.', retry: true }
        : d));
  } catch {
    return [];
  }
}

export function createDocumentStore({ storage, now = () => Date.now() }) {
  const documents = new Map(load(storage).map((d) => [d.path, d]));
  const listeners = [];

  function changed() {
    try {
      storage.setItem(DOCUMENTS_KEY, JSON.stringify([...documents.values()]));
    } catch {
      // Storage full or refused: the list still works for this session.
    }
    for (const fn of listeners) fn();
  }

  function update(path, fields) {
    const d = documents.get(path);
    if (!d) return null;
    Object.assign(d, fields);
    changed();
    return d;
  }

  return {
    // A path reported again (the same file renamed into place once more)
    // stays one entry; a finished one keeps its envelope.
    add(path, flow) {
      if (typeof path !== 'string' || path === '') return null;
      const knownFlow = FLOWS[flow] ? flow : 'sign_myself';
      const existing = documents.get(path);
      if (existing) {
        if (existing.status === 'ready' || existing.status === 'failed') {
          Object.assign(existing, { flow: knownFlow, reportedAt: now(), status: 'ready', error: null, detail: null });
          changed();
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
        detail: null,
      };
      documents.set(path, d);
      changed();
      return d;
    },
    get: (path) => documents.get(path) ?? null,
    all: () => [...documents.values()],
    // Newest first; the same moment keeps the order of arrival.
    list(flow) {
      return [...documents.values()]
        .map((d, i) => [d, i])
        .filter(([d]) => d.flow === flow)
        .sort((a, b) => b[0].reportedAt - a[0].reportedAt || b[1] - a[1])
        .map(([d]) => d);
    },
    setEnvelopeName(path, name) {
      const d = documents.get(path);
      if (d && d.status !== 'uploading') {
        d.envelopeName = String(name);
        try {
          storage.setItem(DOCUMENTS_KEY, JSON.stringify([...documents.values()]));
        } catch {
          // See changed().
        }
      }
    },
    // Returns false when the document is unknown or already on its way.
    markUploading(path) {
      const d = documents.get(path);
      if (!d || d.status === 'uploading' || d.status === 'done' || d.status === 'too_large') return false;
      update(path, { status: 'uploading', error: null, retry: false, signIn: false, detail: null });
      return true;
    },
    // A failure that happened before the native side was asked.
    markFailed(path, message, { retry = true, signIn = false, detail = null } = {}) {
      return update(path, { status: 'failed', error: message, retry, signIn, detail });
    },
    applyResult(result) {
      if (!result || !documents.has(result.path)) return null;
      if (result.envelopeId) return update(result.path, { status: 'done', envelopeId: result.envelopeId, error: null });
      const words = describeUploadError(result.error);
      return update(result.path, {
        status: words.calm ? 'too_large' : 'failed',
        error: words.message,
        retry: words.retry,
        signIn: Boolean(words.signIn),
        detail: words.calm ? null : result.error,
      });
    },
    remove(path) {
      if (documents.delete(path)) changed();
    },
    clear() {
      documents.clear();
      changed();
    },
    subscribe(fn) {
      listeners.push(fn);
    },
  };
}
