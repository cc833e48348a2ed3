// The page of the window test: the console hook, the page's own files, the window and shell
// entries; the other entries are reached in the host test.
(function () {
  var h = window.webkit && window.webkit.messageHandlers;
  console.log('version=' + window.__VELUNIO_APP_VERSION__ + ' shim=' + (h && typeof h.showAlert.postMessage));
  window.velunio = {
    _onDeeplinkResult: function (ok) { console.log('deeplink-result=' + ok); },
    _onNewPrintedFile: function (path, flow) { console.log('new-file=' + flow); },
    handleCallback: function (url) { console.log('callback=' + JSON.stringify(url) + ' pwned=' + !!window.__pwned); }
  };
  console.log('obj', {a: 1}, 'x');
  console.warn('warned', 2);
  window.addEventListener('load', function () {
    fetch('test.js').then(function (r) {
      console.log('fetch-type=' + r.headers.get('Content-Type'));
      return fetch('../../../etc/passwd');
    }).then(function (r) { console.log('escape-status=' + r.status); }).then(function () {
      ['file:///etc/passwd', '', 'https://example.invalid/x', 'VELUNIO://sign/abc'].forEach(function (u) {
        h.openBrowser.postMessage(u);
      });
      h.setWindowBackground.postMessage('#1e90ff');
      h.resizeWindow.postMessage('home-with-banner');
      h.startFileWatcher.postMessage('');
      // Late, so that a hidden start can be seen hidden first.
      setTimeout(function () { h.bringToFront.postMessage(); console.log('front-requested'); }, 1500);
      // The box is modal, so it waits for the test to ask for it with a click on the page.
      document.addEventListener('click', function () {
        h.showAlert.postMessage(JSON.stringify({title: 'Alert from page', message: 'hello'}));
      });
    });
  });
})();
