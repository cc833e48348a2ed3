// A page of the host's tests. It looks the bridge's entries up each time it uses one, as any
// page may, and reports what reaches it through the console.
(function () {
  var names = ['showAlert', 'bringToFront', 'openBrowser', 'resizeWindow', 'setWindowBackground', 'httpGet',
               'postToken', 'startFileWatcher', 'uploadPrintedFile', 'deletePrintedFile', 'clearPrintedFiles'];
  var data = {showAlert: '{"title":"t","message":"m"}', openBrowser: 'velunio://gc', resizeWindow: 'home',
              setWindowBackground: '#123456', httpGet: '{"id":"gc","url":"http://127.0.0.1:1/"}',
              postToken: '{"endpoint":"http://127.0.0.1:1/","body":""}', uploadPrintedFile: '{}',
              deletePrintedFile: '/gc'};
  var sent = 0;
  var slowest = 0;
  window.velunio = {
    _onDeeplinkResult: function () { window.velunio.roundTrip(); },
    _onHttpGetResponse: function (id) { console.log('got get ' + id); },
    _onTokenResponse: function (text) { console.log('got token ' + text); },
    _onNewPrintedFile: function (path) { console.log('got file ' + path); },
    // Every entry, looked up now.
    probe: function () {
      names.forEach(function (n) {
        try { window.webkit.messageHandlers[n].postMessage(data[n]); } catch (e) { console.log('lost ' + n + ': ' + e); }
      });
    },
    // Bridge round trips, one after another, until `until`; then the slowest is reported.
    roundTrips: function (ms) { slowest = 0; window.velunio.until = performance.now() + ms; window.velunio.roundTrip(); },
    roundTrip: function () {
      var now = performance.now();
      if (sent) slowest = Math.max(slowest, now - sent);
      if (now > window.velunio.until) { sent = 0; console.log('slowest round trip ' + Math.round(slowest)); return; }
      setTimeout(function () { sent = performance.now(); window.webkit.messageHandlers.openBrowser.postMessage('velunio://rt'); }, 10);
    }
  };
  // Collections right away: a page that looks its entries up later must still find them.
  var keep = [];
  for (var end = Date.now() + 2000; Date.now() < end;) {
    var a = [];
    for (var i = 0; i < 10000; i++) a.push({i: i});
    keep.push(a);
    if (keep.length > 50) keep = [];
  }
  window.addEventListener('load', function () {
    Promise.all(['missing.js', 'js'].map(function (p) {
      return fetch(p).then(function (r) { return p + ' ' + r.status; }, function (e) { return p + ' ' + e; });
    })).then(function (r) { console.log('fetched ' + r.join(', ')); console.log('ready'); });
  });
})();
