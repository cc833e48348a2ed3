// Drives every bridge entry once; what the native side does is checked from outside.
(function () {
  var h = window.webkit && window.webkit.messageHandlers;
  console.log('version=' + window.__VELUNIO_APP_VERSION__);
  console.log('shim=' + (h && typeof h.showAlert.postMessage));
  window.velunio = {
    _onDeeplinkResult: function (ok) { console.log('deeplink-result=' + ok); },
    _onHttpGetResponse: function (id) { console.log('http-get-response=' + id); },
    _onTokenResponse: function () { console.log('token-response'); },
    _onNewPrintedFile: function (path, flow) { console.log('new-file=' + flow); },
    handleCallback: function (url) { console.log('callback=' + JSON.stringify(url) + ' pwned=' + !!window.__pwned); }
  };
  console.log('obj', {a: 1}, 'x');
  console.warn('warned', 2);
  console.error('failed', null);
  console.info('informed');
  var params = new URLSearchParams(location.search);
  var mode = params.get('mode') || (location.hash || '').slice(1);
  window.addEventListener('load', function () {
    fetch('test.js').then(function (r) {
      console.log('fetch-type=' + r.headers.get('Content-Type'));
      return fetch('../../../etc/passwd');
    }).then(function (r) { console.log('escape-status=' + r.status); }).then(function () {
      h.openBrowser.postMessage('file:///etc/passwd');
      h.openBrowser.postMessage('');
      h.openBrowser.postMessage('https://example.invalid/x');
      h.openBrowser.postMessage('VELUNIO://sign/abc');
      h.setWindowBackground.postMessage('#1e90ff');
      h.resizeWindow.postMessage('home-with-banner');
      // Nothing listens on port 1, so both requests come back at once as failures.
      h.httpGet.postMessage(JSON.stringify({id: 'q1', url: 'http://127.0.0.1:1/none'}));
      h.postToken.postMessage(JSON.stringify({endpoint: 'http://127.0.0.1:1/token', body: 'a=b'}));
      h.startFileWatcher.postMessage('');
      h.uploadPrintedFile.postMessage('{}');
      h.deletePrintedFile.postMessage('/etc/passwd');
      h.clearPrintedFiles.postMessage('');
      console.log('page-done');
      // Late, so that a hidden start can be seen hidden first.
      setTimeout(function () { h.bringToFront.postMessage(); console.log('front-requested'); }, 1500);
      // The box is modal, so it waits for the test to ask for it with a click on the page.
      document.addEventListener('click', function () {
        h.showAlert.postMessage(JSON.stringify({title: 'Alert from page', message: 'hello'}));
      });
    });
  });
})();
