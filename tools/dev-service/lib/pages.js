// HTML pages of the development service. Every value that came from a
// request or an upload is escaped before it goes into markup.
export function escapeHtml(value) {
  return String(value).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

const STYLE = `
  body { font: 15px/1.45 system-ui, sans-serif; margin: 0; background: #f4f6f8; color: #1d2630; }
  main { max-width: 720px; margin: 40px auto; background: #fff; border-radius: 10px; padding: 28px 32px; box-shadow: 0 1px 4px rgba(0,0,0,.08); }
  h1 { font-size: 22px; margin-top: 0; }
  table { border-collapse: collapse; width: 100%; }
  th, td { text-align: left; padding: 6px 8px; border-bottom: 1px solid #e3e7ec; }
  button { font: inherit; padding: 8px 20px; border-radius: 6px; border: 1px solid #2f6fde; background: #2f6fde; color: #fff; cursor: pointer; }
  button.secondary { background: #fff; color: #2f6fde; }
  .muted { color: #5d6b7a; }
  code { background: #eef1f4; padding: 1px 4px; border-radius: 4px; }
`;

function layout(title, body) {
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>${escapeHtml(title)}</title>
<style>${STYLE}</style></head>
<body><main>${body}</main></body></html>
`;
}

export function authorizePage(request) {
  const hidden = Object.entries({
    response_type: 'code',
    client_id: request.clientId,
    redirect_uri: request.redirectUri,
    state: request.state,
    scope: request.scope,
    code_challenge: request.challenge,
    code_challenge_method: 'S256',
  })
    .map(([k, v]) => `<input type="hidden" name="${escapeHtml(k)}" value="${escapeHtml(v)}">`)
    .join('\n');
  return layout('Sign in – Velunio development service', `
<h1>Allow Velunio Printaro?</h1>
<p>Velunio Printaro asks to create envelopes from your printed documents.</p>
<p class="muted">This is the local development signing service. Nothing leaves this computer.</p>
<form method="post" action="/oauth/authorize">
${hidden}
<button type="submit" name="decision" value="allow" id="allow" data-testid="allow">Allow</button>
<button type="submit" name="decision" value="deny" id="deny" data-testid="deny" class="secondary">Deny</button>
</form>`);
}

export function redirectPage(location) {
  return layout('Returning to Velunio Printaro', `
<h1>Returning to Velunio Printaro…</h1>
<p>If nothing happens, <a id="continue" href="${escapeHtml(location)}">continue here</a>.</p>`);
}

export function errorPage(title, message) {
  return layout(title, `<h1>${escapeHtml(title)}</h1><p>${escapeHtml(message)}</p>`);
}

function flowLabel(flow) {
  return flow === 'SIGN_MYSELF' ? 'Sign myself' : flow === 'REQUEST_SIGNATURE' ? 'Request signatures' : flow;
}

export function envelopesPage(envelopes) {
  const rows = envelopes
    .map((e) => `<tr data-envelope-id="${escapeHtml(e.id)}">
<td><a href="/envelopes/${escapeHtml(e.id)}">${escapeHtml(e.name)}</a></td>
<td>${escapeHtml(flowLabel(e.flow))}</td>
<td>${escapeHtml(e.size)} bytes</td>
<td>${escapeHtml(e.createdAt)}</td>
<td><a href="/envelopes/${escapeHtml(e.id)}/document.pdf">PDF</a></td></tr>`)
    .join('\n');
  return layout('Envelopes – Velunio development service', `
<h1>Received envelopes</h1>
${envelopes.length === 0 ? '<p class="muted" id="no-envelopes">No envelope has been received yet.</p>' : `
<table id="envelopes"><thead><tr><th>Name</th><th>Flow</th><th>Size</th><th>Received</th><th>Document</th></tr></thead>
<tbody>${rows}</tbody></table>`}`);
}

export function envelopePage(e) {
  return layout(`${e.name} – Velunio development service`, `
<h1 id="envelope-name">${escapeHtml(e.name)}</h1>
<table>
<tr><th>Envelope</th><td id="envelope-id"><code>${escapeHtml(e.id)}</code></td></tr>
<tr><th>Flow</th><td id="envelope-flow">${escapeHtml(flowLabel(e.flow))}</td></tr>
<tr><th>File</th><td>${escapeHtml(e.fileName)} (${escapeHtml(e.size)} bytes)</td></tr>
<tr><th>SHA-256</th><td><code>${escapeHtml(e.sha256)}</code></td></tr>
<tr><th>Received</th><td>${escapeHtml(e.createdAt)}</td></tr>
</table>
<p><a id="document-link" href="/envelopes/${escapeHtml(e.id)}/document.pdf">Open the document</a> · <a href="/envelopes">All envelopes</a></p>`);
}
