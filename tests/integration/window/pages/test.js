// The page of the window test: the console hook, the page's own files and the window and shell
// entries as the real program answers them; every entry is looked up in the host test.
(function () {
  var h = window.webkit && window.webkit.messageHandlers;
  console.log('version=' + window.__VELUNIO_APP_VERSION__ + ' shim=' + (h && typeof h.showAlert.postMessage));
  window.velunio = {
    _onDeeplinkResult: function (ok) { console.log('deeplink-result=' + ok); },
    handleCallback: function (url) { console.log('callback=' + JSON.stringify(url) + ' pwned=' + !!window.__pwned); }
  };
  console.log('obj', {a: 1}, 'x');
  console.warn('warned', 2);
  window.addEventListener('load', function () {
    fetch('test.js').then(function (r) {
      console.log('fetch-type=' + r.headers.get('Content-Type'));
      // A dark strip: the glyphs turn light unless hovered.
      h.setWindowBackground.postMessage('#202020');
      h.resizeWindow.postMessage('home-with-banner');
      h.openBrowser.postMessage('VELUNIO://sign/abc');
      // Late, so that a hidden start can be seen hidden first.
      setTimeout(function () { h.bringToFront.postMessage(); }, 1500);
    });
  });
})();
