// The document list on the home screen. It follows the store one change at a
// time: an arriving document costs one item, whatever the list's length.
import { FLOWS } from './documents.js';
import { formatProgress } from './words.js';

export function createTimeFormat(now) {
  const time = new Intl.DateTimeFormat(undefined, { hour: '2-digit', minute: '2-digit' });
  const day = new Intl.DateTimeFormat(undefined, { day: 'numeric', month: 'short' });
  return (ms) => {
    const at = new Date(ms);
    if (at.toDateString() === new Date(now()).toDateString()) return time.format(at);
    return `${day.format(at)}, ${time.format(at)}`;
  };
}

// Copies text for the user; where the clipboard is refused, the text is left
// selected so that the usual keys copy it.
export async function copyText(win, text, element) {
  try {
    await win.navigator.clipboard.writeText(text);
    return true;
  } catch {
    if (typeof element.select === 'function') {
      element.select();
    } else {
      const range = win.document.createRange();
      range.selectNodeContents(element);
      win.getSelection().removeAllRanges();
      win.getSelection().addRange(range);
    }
    try {
      return win.document.execCommand('copy');
    } catch {
      return false;
    }
  }
}

const STATUS_TEXT = { uploading: 'Uploading…', done: 'Envelope created.' };

export function createDocumentList({ win, store, now, actions }) {
  const doc = win.document;
  const $ = (id) => doc.getElementById(id);
  const items = new Map();
  const formatTime = createTimeFormat(now);

  // Each item's parts, found once: they are updated at every change.
  const parts = new WeakMap();

  function createItem(d) {
    const li = $('document-template').content.firstElementChild.cloneNode(true);
    const found = {};
    for (const el of li.querySelectorAll('[data-testid]')) found[el.dataset.testid] = el;
    parts.set(li, found);
    const part = (id) => found[id];
    li.dataset.path = d.path;
    const input = part('envelope-name');
    input.addEventListener('input', () => store.setEnvelopeName(d.path, input.value));
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') actions.upload(d.path);
    });
    part('upload').addEventListener('click', () => actions.upload(d.path));
    part('remove').addEventListener('click', () => actions.remove(d.path));
    part('open-envelope').addEventListener('click', () => actions.open(d.path));
    part('copy-detail').addEventListener('click', async () => {
      const copied = await copyText(win, part('detail-text').textContent, part('detail-text'));
      part('copy-detail').textContent = copied ? 'Copied' : 'Select and copy';
    });
    items.set(d.path, li);
    return li;
  }

  function showProgress(li, d) {
    const { progress: bar, 'progress-size': size } = parts.get(li);
    const p = d.status === 'uploading' ? d.progress : null;
    bar.hidden = d.status !== 'uploading';
    bar.classList.toggle('determinate', Boolean(p));
    size.hidden = !p;
    if (p) {
      const percent = Math.round((p.sent / p.total) * 100);
      bar.firstElementChild.style.width = `${(p.sent / p.total) * 100}%`;
      bar.setAttribute('aria-valuenow', String(percent));
      size.textContent = formatProgress(p.sent, p.total);
    } else {
      bar.firstElementChild.style.width = '';
      bar.removeAttribute('aria-valuenow');
      size.textContent = '';
    }
  }

  function updateItem(li, d) {
    const found = parts.get(li);
    const part = (id) => found[id];
    const failed = d.status === 'failed';
    const settled = d.status === 'done' || d.status === 'too_large';
    li.dataset.status = d.status;
    li.dataset.flow = d.flow;
    part('document-name').textContent = d.fileName;
    part('document-name').title = d.path;
    part('document-time').textContent = formatTime(d.reportedAt);
    const input = part('envelope-name');
    if (doc.activeElement !== input) input.value = d.envelopeName;
    input.disabled = d.status === 'uploading' || settled;
    part('body').hidden = settled || (failed && !d.retry);
    const button = part('upload');
    button.hidden = !(d.status === 'ready' || d.status === 'uploading' || (failed && d.retry));
    button.disabled = d.status === 'uploading';
    button.textContent = failed ? 'Try again' : 'Upload';
    part('remove').disabled = d.status === 'uploading';
    showProgress(li, d);
    const text = part('status-text');
    text.textContent = STATUS_TEXT[d.status] ?? (failed || d.status === 'too_large' ? d.error ?? '' : '');
    text.className = `status-text${failed ? ' error' : ''}${d.status === 'too_large' ? ' note' : ''}`;
    part('open-envelope').hidden = d.status !== 'done';
    part('envelope-id').hidden = d.status !== 'done';
    part('envelope-id').textContent = d.status === 'done' ? `ID ${d.envelopeId}` : '';
    const detail = part('status-detail');
    const hasDetail = failed && Boolean(d.detail);
    if (!hasDetail) detail.open = false;
    detail.hidden = !hasDetail;
    part('detail-text').textContent = hasDetail ? d.detail : '';
    part('copy-detail').textContent = 'Copy';
  }

  function refreshCounts() {
    let any = false;
    for (const flow of Object.keys(FLOWS)) {
      const filled = $(`list-${flow}`).firstElementChild !== null;
      $(`group-${flow}`).hidden = !filled;
      any ||= filled;
    }
    $('empty-state').hidden = any;
    $('clear-all').hidden = !any;
  }

  function placeFirst(d, li) {
    const list = $(`list-${d.flow}`);
    if (list.firstElementChild !== li) list.prepend(li);
  }

  return {
    // Once, at start: the whole list in its order.
    renderAll() {
      for (const flow of Object.keys(FLOWS)) {
        const fragment = doc.createDocumentFragment();
        for (const d of store.list(flow)) {
          const li = items.get(d.path) ?? createItem(d);
          updateItem(li, d);
          fragment.appendChild(li);
        }
        $(`list-${flow}`).replaceChildren(fragment);
      }
      refreshCounts();
    },
    apply(change) {
      const { type, doc: d } = change;
      if (type === 'cleared') {
        for (const li of items.values()) li.remove();
        items.clear();
      } else if (type === 'removed') {
        items.get(d.path)?.remove();
        items.delete(d.path);
      } else if (type === 'progress') {
        const li = items.get(d.path);
        if (li) showProgress(li, d);
        return;
      } else {
        const li = items.get(d.path) ?? createItem(d);
        updateItem(li, d);
        if (type !== 'changed' || !li.isConnected) placeFirst(d, li);
      }
      refreshCounts();
    },
    item: (path) => items.get(path) ?? null,
  };
}
