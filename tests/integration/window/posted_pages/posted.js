// Logs every native callback with its kind and tag; the order is checked natively.
(function () {
  window.velunio = {
    _onNewPrintedFile: function (path) { console.log('got file ' + path); },
    _onHttpGetResponse: function (id) { console.log('got get ' + id); },
    _onUploadResult: function (json) { console.log('got upload ' + JSON.parse(json).path); },
    _onTokenResponse: function (text) { console.log('got token ' + text); }
  };
  window.addEventListener('load', function () { console.log('ready'); });
})();
