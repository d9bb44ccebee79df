// The desktop viewer: asks once per browser session for the camera user and password,
// keeps only the password's digest, and shows the camera picture. JPEG pictures come from
// the camera's live stream, read here part by part so that each one is counted; when the
// stream cannot be read, and for PNG, the page asks for the next picture as soon as the
// previous one has been drawn.
"use strict";

var OrbiscopeViewer = (function () {
  // At most ten pictures a second: smooth enough to watch, light on a small server.
  var MIN_INTERVAL_MS = 100;
  // How long to wait before asking again when there is nothing to show yet.
  var RETRY_MS = 1000;
  var USER_KEY = "orbiscope.user";
  var DIGEST_KEY = "orbiscope.digest";
  var SIZE_KEY = "orbiscope.size";
  var FORMAT_KEY = "orbiscope.format";

  var $ = function (id) { return document.getElementById(id); };
  var picture, statusLine, rateLine;
  var paused = false;
  var generation = 0;     // the one live request loop; older loops end at their next step
  var counter = 0;        // makes every picture URL new, so no cache answers it
  var shown = [];         // times of the recent pictures, for the rate display
  var currentUrl = null;  // object URL of the picture on screen
  var streaming = null;   // aborts the stream being read

  // The camera routes read their query values by position, not by name: user, password
  // digest, width, height. The JPEG route separates them with a blank (sent as %20), the
  // PNG route with "&". The cache-busting value goes last, where the route reads it as part
  // of the height's text and its integer reading stops before it.
  function pictureUrl(format, user, digest, width, height, n) {
    var u = encodeURIComponent(user);
    if (format === "png") {
      return "/image.png?user=" + u + "&pass=" + digest + "&w=" + width + "&h=" + height + "&n=" + n;
    }
    return "/image%20?user=" + u + "%20pass=" + digest + "%20w=" + width + "%20h=" + height +
        "%20n=" + n;
  }

  // The stream's query is the PNG route's: user, digest, width, height, "&" between them.
  function streamUrl(user, digest, width, height) {
    return "/stream.mjpg?user=" + encodeURIComponent(user) + "&pass=" + digest + "&w=" + width +
        "&h=" + height;
  }

  // The route that can carry this user name: a blank splits the JPEG route's values and an
  // "&" the PNG route's, so a name holding one of them needs the other route.
  function usableFormat(wanted, user) {
    var blank = user.indexOf(" ") >= 0;
    var amp = user.indexOf("&") >= 0;
    if (blank && amp) return null;
    if (wanted === "jpeg" && blank) return "png";
    if (wanted === "png" && amp) return "jpeg";
    return wanted;
  }

  function credentials() {
    var user = sessionStorage.getItem(USER_KEY);
    var digest = sessionStorage.getItem(DIGEST_KEY);
    return user !== null && digest ? { user: user, digest: digest } : null;
  }

  function setStatus(text) {
    statusLine.textContent = text;
  }

  // Ends the running loop, polling or streaming.
  function stopLoop() {
    generation++;
    if (streaming) streaming.abort();
    streaming = null;
  }

  function showLogin(message) {
    stopLoop();
    $("viewer").hidden = true;
    $("who").hidden = true;
    $("logout").hidden = true;
    $("login").hidden = false;
    var box = $("login-message");
    box.textContent = message || "";
    box.hidden = !message;
    $("pass").value = "";
    ($("user").value ? $("pass") : $("user")).focus();
  }

  function showViewer(creds) {
    $("login").hidden = true;
    $("viewer").hidden = false;
    $("who").textContent = "Camera user: " + creds.user;
    $("who").hidden = false;
    $("logout").hidden = false;
    setStatus("Connecting\u2026");
    start();
  }

  function refused() {
    sessionStorage.removeItem(DIGEST_KEY);
    showLogin("The camera refused this user name or password. Please enter them again.");
  }

  function updateRate() {
    var now = performance.now();
    shown.push(now);
    while (shown.length > 0 && now - shown[0] > 2000) shown.shift();
    // A few pictures first: two close together would claim a rate the loop never keeps.
    var span = shown.length >= 5 ? (shown[shown.length - 1] - shown[0]) / 1000 : 0;
    rateLine.textContent = span > 0 ? ((shown.length - 1) / span).toFixed(1) + " pictures/s" : "";
  }

  // Resolves once the picture is on screen; rejects when the browser cannot decode it.
  function display(blob) {
    return new Promise(function (resolve, reject) {
      var url = URL.createObjectURL(blob);
      picture.onload = function () {
        if (currentUrl) URL.revokeObjectURL(currentUrl);
        currentUrl = url;
        resolve();
      };
      picture.onerror = function () {
        URL.revokeObjectURL(url);
        reject(new Error("undecodable"));
      };
      picture.src = url;
    });
  }

  function start() {
    if (paused) return;
    stopLoop();
    var loop = generation;
    var creds = credentials();
    // A user name holding "&" cannot be put in the stream's query; it polls JPEG pictures.
    if (creds && $("format").value === "jpeg" && creds.user.indexOf("&") < 0 &&
        window.ReadableStream && window.AbortController) {
      stream(loop, creds);
    } else {
      tick(loop);
    }
  }

  function indexOf(bytes, pattern, from) {
    outer: for (var i = from; i + pattern.length <= bytes.length; i++) {
      for (var j = 0; j < pattern.length; j++) if (bytes[i + j] !== pattern[j]) continue outer;
      return i;
    }
    return -1;
  }

  // Reads the multipart stream: each part is a head ending in a blank line, with its
  // Content-Length, then that many bytes of JPEG. `read.showed` tells whether it showed
  // any picture, also when it ends in an error.
  async function readParts(loop, body, boundary, read) {
    var reader = body.getReader();
    var ascii = new TextDecoder("ascii");
    var blankLine = [13, 10, 13, 10];
    var buffer = new Uint8Array(0);
    for (;;) {
      var headEnd = indexOf(buffer, blankLine, 0);
      if (headEnd >= 0) {
        var head = ascii.decode(buffer.subarray(0, headEnd)).replace(/^(\r\n)+/, "");
        if (head.indexOf("--" + boundary) !== 0) throw new Error("not a part");
        var length = /\r\ncontent-length:\s*(\d+)/i.exec(head);
        if (!length) throw new Error("a part without its length");
        var end = headEnd + 4 + Number(length[1]);
        if (buffer.length >= end) {
          var blob = new Blob([buffer.slice(headEnd + 4, end)], { type: "image/jpeg" });
          buffer = buffer.slice(end);
          // The next part waits in the socket meanwhile: a slow page makes the camera skip
          // frames for it rather than queue them.
          await display(blob);
          if (loop !== generation) return;
          read.showed = true;
          shownPicture("stream", "jpeg");
          continue;
        }
      }
      var chunk = await reader.read();
      if (chunk.done || loop !== generation) return;
      var joined = new Uint8Array(buffer.length + chunk.value.length);
      joined.set(buffer);
      joined.set(chunk.value, buffer.length);
      buffer = joined;
    }
  }

  async function stream(loop, creds) {
    var size = $("size").value.split("x");
    var abort = new AbortController();
    streaming = abort;
    var read = { showed: false };
    try {
      var response = await fetch(streamUrl(creds.user, creds.digest, size[0], size[1]),
                                 { cache: "no-store", credentials: "omit", signal: abort.signal });
      if (loop !== generation) return;
      if (response.status === 401) {
        refused();
        return;
      }
      var type = response.headers.get("Content-Type") || "";
      var boundary = /boundary="?([^";]+)"?/.exec(type);
      if (response.ok && response.body && boundary) {
        setStatus("Waiting for the camera's next picture\u2026");
        await readParts(loop, response.body, boundary[1], read);
      }
    } catch (e) {
      // Aborted by the page, cut by the network, or not a stream this page can read.
    }
    if (loop !== generation) return;
    streaming = null;
    if (read.showed) {
      // The stream ran and ended (the camera stopped, or the server): try it again.
      setStatus("The camera stream ended; trying again\u2026");
      setTimeout(function () { if (loop === generation) start(); }, RETRY_MS);
      return;
    }
    // Whatever stands between the page and the camera does not pass the stream: poll.
    tick(loop);
  }

  async function tick(loop) {
    var schedule = function (delay) {
      if (loop === generation) setTimeout(function () { tick(loop); }, delay);
    };
    var creds = credentials();
    if (loop !== generation || !creds || paused || $("viewer").hidden) return;
    if (document.hidden) {
      schedule(RETRY_MS);  // nobody is looking: ask again later instead of now
      return;
    }
    var format = usableFormat($("format").value, creds.user);
    if (format === null) {
      setStatus("A user name holding both a blank and \"&\" cannot be sent to the camera.");
      return;
    }
    var size = $("size").value.split("x");
    var started = performance.now();
    var url = pictureUrl(format, creds.user, creds.digest, size[0], size[1], ++counter);

    var response;
    try {
      response = await fetch(url, { cache: "no-store", credentials: "omit" });
    } catch (e) {
      setStatus("The camera server cannot be reached; trying again\u2026");
      schedule(RETRY_MS);
      return;
    }
    if (loop !== generation) return;
    if (response.status === 401) {
      refused();
      return;
    }
    if (response.status === 400) {
      // The PNG route has no picture to send before the camera's first frame.
      setStatus("Waiting for the camera's first picture\u2026");
      schedule(RETRY_MS);
      return;
    }
    if (!response.ok) {
      setStatus("The camera server answered " + response.status + " " + response.statusText +
                "; trying again\u2026");
      schedule(RETRY_MS);
      return;
    }
    var blob;
    try {
      blob = await response.blob();
    } catch (e) {
      setStatus("The picture was cut short; trying again\u2026");
      schedule(RETRY_MS);
      return;
    }
    if (blob.size === 0) {
      // The JPEG route answers with an empty body before the camera's first frame.
      setStatus("Waiting for the camera's first picture\u2026");
      schedule(RETRY_MS);
      return;
    }
    try {
      await display(blob);
    } catch (e) {
      setStatus("The browser could not show the picture; trying again\u2026");
      schedule(RETRY_MS);
      return;
    }
    shownPicture("poll", format);
    schedule(Math.max(0, MIN_INTERVAL_MS - (performance.now() - started)));
  }

  // Counts a picture on screen and says where it came from.
  function shownPicture(source, format) {
    picture.dataset.pictures = String(Number(picture.dataset.pictures || 0) + 1);
    picture.dataset.source = source;
    setStatus(format === $("format").value ? "" :
              "This user name needs the " + format.toUpperCase() + " pictures.");
    updateRate();
  }

  function onSignIn(event) {
    event.preventDefault();
    var user = $("user").value;
    var password = $("pass").value;
    sessionStorage.setItem(USER_KEY, user);
    sessionStorage.setItem(DIGEST_KEY, OrbiscopeDigest.passwordDigest(password));
    $("pass").value = "";
    showViewer(credentials());
  }

  function onSignOut() {
    sessionStorage.removeItem(DIGEST_KEY);
    showLogin("");
  }

  function onPause() {
    paused = !paused;
    $("pause").textContent = paused ? "Resume" : "Pause";
    if (paused) {
      stopLoop();
      setStatus("Paused");
      rateLine.textContent = "";
      shown = [];
    } else {
      setStatus("");
      start();
    }
  }

  function remember(select, key) {
    var saved = localStorage.getItem(key);
    if (saved && Array.prototype.some.call(select.options, function (o) { return o.value === saved; })) {
      select.value = saved;
    }
    select.addEventListener("change", function () {
      localStorage.setItem(key, select.value);
      shown = [];
      // A stream carries one size in one format: the choice starts the loop again.
      if (!$("viewer").hidden && !paused) start();
    });
  }

  function init() {
    picture = $("picture");
    statusLine = $("status");
    rateLine = $("rate");
    remember($("size"), SIZE_KEY);
    remember($("format"), FORMAT_KEY);
    $("login").addEventListener("submit", onSignIn);
    $("logout").addEventListener("click", onSignOut);
    $("pause").addEventListener("click", onPause);
    var creds = credentials();
    $("user").value = sessionStorage.getItem(USER_KEY) || "";
    if (creds) showViewer(creds); else showLogin("");
  }

  document.addEventListener("DOMContentLoaded", init);

  return { pictureUrl: pictureUrl, streamUrl: streamUrl, usableFormat: usableFormat };
})();
