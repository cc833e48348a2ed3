// What the user reads when something goes wrong, and the upload's size text.
// The native error texts name a library call and its code; they are read by
// meaning (the code, then the words) and always kept whole as the detail.

const KINDS = {
  tooLarge: { message: 'This file is larger than 150 MB, too large to sign, so it was removed. Print fewer pages and it will appear again.', retry: false, calm: true },
  unreadable: { message: 'The printed file could not be read. It may have been moved or deleted: print it again.', retry: true },
  timeout: { message: 'The upload took too long and was stopped. The connection may be slow or Velunio busy: try again in a moment.', retry: true },
  unreachable: { message: 'Velunio could not be reached. Check that this computer is online, then try again.', retry: true },
  lost: { message: 'The connection to Velunio broke off during the upload. Try again.', retry: true },
  secure: { message: 'No secure connection to Velunio could be made. Check the computer’s date and time and your network, then try again.', retry: true },
  network: { message: 'The upload did not get through to Velunio. Try again.', retry: true },
  settings: { message: 'The upload address in Velunio Printaro’s settings is not valid. Please reinstall the program.', retry: false },
  signIn: { message: 'Velunio did not accept your sign-in; it may have expired. Try again to renew it.', retry: true, signIn: true },
  forbidden: { message: 'Velunio does not allow this upload for your account. Check your account in Velunio.', retry: true },
  serviceTooLarge: { message: 'Velunio says this file is too large. Print fewer pages and upload the new file.', retry: false },
  notPdf: { message: 'Velunio could not read this document as a PDF. Print it again and upload the new file.', retry: false },
  busy: { message: 'Velunio has a problem right now. Try again in a few minutes.', retry: true },
  noEnvelope: { message: 'Velunio did not confirm the envelope. Look in Velunio before you try again, so that it is not made twice.', retry: true },
  notCreated: { message: 'Velunio could not create the envelope. Try again.', retry: true },
};

// Codes of the two HTTP clients (curl and WinHTTP, with the Winsock codes that
// Wine gives instead) grouped by what they mean for the user.
const CLIENT_CODES = {
  timeout: [28, 12002, 10060],
  unreachable: [5, 6, 7, 12007, 12029, 10061, 10065, 10051],
  lost: [16, 18, 52, 55, 56, 92, 12030, 12031, 12152, 10053, 10054],
  secure: [35, 51, 53, 54, 58, 59, 60, 64, 66, 77, 80, 82, 83, 90, 91, 12037, 12038, 12044, 12045, 12157, 12169, 12175],
  settings: [1, 3],
};

// Last resort when the code is unknown: the client's own words.
const CLIENT_WORDS = [
  ['timeout', /timed? ?out|time-?out/i],
  ['secure', /ssl|tls|certificate/i],
  ['unreachable', /resolve|could ?n[o’']?t connect|connection refused|unreachable|no route/i],
  ['lost', /reset|broken pipe|empty reply|connection (was )?(lost|closed|aborted)/i],
];

// A service's own explanation (a GraphQL error message), read for its meaning.
const SERVICE_WORDS = [
  ['signIn', /unauthori[sz]ed|unauthenticated|authenticat|token|expired|sign(ed)?[ -]?in|log(ged)?[ -]?in/i],
  ['forbidden', /forbidden|permission|not allowed|denied/i],
  ['serviceTooLarge', /too (large|big)|file size|size limit/i],
  ['notPdf', /pdf|corrupt|damaged|unsupported (file|document|format)/i],
];

function kindOfClientFailure(text) {
  const code = /failed \((?:curl )?(\d+)/.exec(text);
  if (code) {
    for (const [kind, codes] of Object.entries(CLIENT_CODES)) if (codes.includes(Number(code[1]))) return kind;
  }
  for (const [kind, words] of CLIENT_WORDS) if (words.test(text)) return kind;
  return 'network';
}

function kindOfStatus(code) {
  if (code === 401) return 'signIn';
  if (code === 403) return 'forbidden';
  if (code === 413) return 'serviceTooLarge';
  if (code === 408 || code === 429 || code >= 500) return 'busy';
  return 'notCreated';
}

export function uploadErrorKind(error) {
  const text = String(error ?? '');
  if (text === 'native_handled') return 'tooLarge';
  if (text === 'Cannot read file') return 'unreadable';
  if (text === 'Invalid token') return 'signIn';
  if (text === 'Cannot parse URL') return 'settings';
  const status = /^HTTP (\d{3})\b/.exec(text);
  if (status) return kindOfStatus(Number(status[1]));
  if (text === 'Empty response' || text === 'Missing envelope id in response' || /^HTTP response larger/.test(text)) return 'noEnvelope';
  if (text === 'GraphQL error') return 'notCreated';
  if (text === 'HTTP request failed' || /^\S+ failed \(/.test(text)) return kindOfClientFailure(text);
  for (const [kind, words] of SERVICE_WORDS) if (words.test(text)) return kind;
  return 'notCreated';
}

// { message, retry, signIn, calm, detail }: `retry` says whether trying again
// can help, `signIn` that the sign-in should be renewed first, `calm` that it
// is a note rather than a fault; `detail` is the native text as it came.
export function describeUploadError(error) {
  const kind = KINDS[uploadErrorKind(error)];
  return { signIn: false, calm: false, ...kind, detail: kind.calm ? null : String(error ?? '') };
}

const MB = 1024 * 1024;

// "12.4 of 150 MB": both in the total's unit, MB as the 150 MB limit counts them.
export function formatProgress(sent, total) {
  const unit = total >= MB ? MB : 1024;
  const show = (bytes) => {
    const value = bytes / unit;
    return unit === MB && value < 100 ? value.toFixed(1).replace(/\.0$/, '') : String(Math.round(value));
  };
  return `${show(sent)} of ${show(total)} ${unit === MB ? 'MB' : 'KB'}`;
}
