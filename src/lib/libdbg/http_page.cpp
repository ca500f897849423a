// The console page of the web debug tool. Its three templates ($title,
// $sh_psa and $token_value) are filled in when it is served; it must hold
// no other dollar sign, so its script does without one.
#include "libdbg/http.h"

const char g_http_page[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>$title</title>
<link rel="icon" href="/favicon.ico">
<style>
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 "DejaVu Sans", Arial, sans-serif; background: #f2f4f7; color: #1d2733; }
header { display: flex; align-items: center; gap: 16px; padding: 8px 16px; background: #1f3554; color: #fff; }
header h1 { font-size: 17px; margin: 0 24px 0 0; font-weight: 600; }
nav button { background: none; border: 0; color: #c9d6e8; font-size: 14px; padding: 6px 12px; cursor: pointer; border-radius: 4px; }
nav button.active { background: #3b5c88; color: #fff; }
main { padding: 12px 16px; }
.view { display: none; }
.view.active { display: block; }
.term { background: #101820; color: #d6e2ee; font: 13px/1.35 "DejaVu Sans Mono", monospace; height: calc(100vh - 150px);
        min-height: 240px; overflow-y: auto; padding: 8px 10px; border-radius: 4px; white-space: pre-wrap; word-break: break-all; }
.cmdline { display: flex; align-items: center; margin-top: 8px; font: 13px "DejaVu Sans Mono", monospace; }
.cmdline span { margin-right: 6px; color: #1f3554; font-weight: 600; }
.cmdline input { flex: 1; font: inherit; padding: 6px 8px; border: 1px solid #9fb0c4; border-radius: 4px; }
.echo { color: #8fd18f; }
.hint { color: #8aa0b5; font-style: italic; }
.err { color: #ff8f8f; }
.lv-debug { color: #8aa0b5; }
.lv-info { color: #d6e2ee; }
.lv-warning { color: #f2c96d; }
.lv-error { color: #ff7b7b; font-weight: 600; }
.bar { display: flex; gap: 16px; align-items: center; margin-bottom: 8px; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { border: 1px solid #d3dbe5; padding: 5px 8px; text-align: left; vertical-align: middle; }
th { background: #e4eaf2; }
td input, td select { font: inherit; padding: 3px 5px; min-width: 140px; }
td.state { min-width: 90px; }
.ok { color: #1f7a1f; }
.bad { color: #b02020; }
</style>
</head>
<body>
<header>
  <h1>$title</h1>
  <nav>
    <button id="tab-console" class="active" data-view="console">Console</button>
    <button id="tab-log" data-view="log">Log</button>
    <button id="tab-config" data-view="config">Configuration</button>
  </nav>
</header>
<input type="hidden" id="token" value="$token_value">
<main>
  <section id="view-console" class="view active">
    <div id="console-out" class="term"></div>
    <div class="cmdline"><span id="prompt">$sh_psa</span><input id="cmd" autocomplete="off" spellcheck="false" autofocus></div>
  </section>
  <section id="view-log" class="view">
    <div class="bar">
      <label><input type="checkbox" id="log-pause"> pause scrolling</label>
      <button id="log-clear">clear</button>
      <span id="log-state"></span>
    </div>
    <div id="log-out" class="term"></div>
  </section>
  <section id="view-config" class="view">
    <div class="bar"><button id="config-reload">reload</button><span id="config-state"></span></div>
    <table id="config-table">
      <thead><tr><th>Description</th><th>Value</th><th>Name</th><th>Type</th><th>Range</th><th></th></tr></thead>
      <tbody></tbody>
    </table>
  </section>
</main>
<script>
"use strict";
(function () {
  var token = document.getElementById("token").value;
  var MAX_LOG_LINES = 1000;
  var LOG_PAUSE_MS = 1200;
  var CMD_TIMEOUT_MS = 10000;
  var history = [];
  var historyPos = 0;
  var logActive = false;
  var logBusy = false;
  var logDown = false;

  function el(id) { return document.getElementById(id); }

  function chomp(s) {
    while (s.length && (s.charAt(s.length - 1) === "\n" || s.charAt(s.length - 1) === "\r")) s = s.slice(0, -1);
    return s;
  }

  function url(path, args) {
    var q = "token=" + encodeURIComponent(token);
    for (var k in args) q += "&" + k + "=" + encodeURIComponent(args[k]);
    return path + "?" + q;
  }

  function getJson(path, args, timeoutMs) {
    // The Referer tells the tool the request comes from its own page.
    var opts = { cache: "no-store", referrerPolicy: "same-origin" };
    var timer = null;
    if (timeoutMs && window.AbortController) {
      var ctl = new AbortController();
      opts.signal = ctl.signal;
      timer = setTimeout(function () { ctl.abort(); }, timeoutMs);
    }
    return fetch(url(path, args || {}), opts).then(function (resp) {
      if (timer) clearTimeout(timer);
      if (!resp.ok) throw new Error("HTTP " + resp.status);
      return resp.json();
    }, function (e) {
      if (timer) clearTimeout(timer);
      throw e;
    });
  }

  // A failed request in words: a server that has gone is said to be gone.
  function failText(e) {
    if (e && e.name === "AbortError") return "no answer from the server within " + CMD_TIMEOUT_MS / 1000 + " s";
    if (e instanceof TypeError) return "the server at " + location.host + " has gone (no connection)";
    return String((e && e.message) || e);
  }

  function addLine(box, text, cls) {
    var div = document.createElement("div");
    if (cls) div.className = cls;
    div.textContent = text;
    box.appendChild(div);
    return div;
  }

  // ---- views ----
  function show(view) {
    var buttons = document.querySelectorAll("nav button");
    for (var i = 0; i < buttons.length; i++)
      buttons[i].classList.toggle("active", buttons[i].getAttribute("data-view") === view);
    var views = document.querySelectorAll(".view");
    for (var j = 0; j < views.length; j++) views[j].classList.toggle("active", views[j].id === "view-" + view);
    logActive = view === "log";
    if (logActive) pollLog();
    if (view === "config") loadConfig();
    if (view === "console") el("cmd").focus();
  }

  // ---- console ----
  function runCommand(text) {
    var out = el("console-out");
    addLine(out, el("prompt").textContent + " " + text, "echo");
    if (text.trim() === "clear") {
      out.textContent = "";
      return;
    }
    getJson("/cmd", { command: text }, CMD_TIMEOUT_MS).then(function (items) {
      (items || []).forEach(function (item) {
        if (item.error) addLine(out, "error: " + item.error, "err");
        var resp = chomp(String(item.resp || "").split("\u0000").join("").split("\r").join(""));
        if (resp.length) addLine(out, resp);
      });
      out.scrollTop = out.scrollHeight;
    }).catch(function (e) {
      addLine(out, "request failed: " + failText(e), "err");
      out.scrollTop = out.scrollHeight;
    });
  }

  el("cmd").addEventListener("keydown", function (ev) {
    var input = el("cmd");
    if (ev.key === "Enter") {
      var text = input.value;
      input.value = "";
      if (text.trim().length) {
        history.push(text);
        historyPos = history.length;
      }
      runCommand(text);
    } else if (ev.key === "ArrowUp" && historyPos > 0) {
      input.value = history[--historyPos];
      ev.preventDefault();
    } else if (ev.key === "ArrowDown" && historyPos < history.length) {
      historyPos++;
      input.value = historyPos < history.length ? history[historyPos] : "";
      ev.preventDefault();
    }
  });

  // ---- log ----
  function pollLog() {
    if (!logActive || logBusy) return;
    logBusy = true;
    getJson("/log", {}, 0).then(function (items) {
      var out = el("log-out");
      (items || []).forEach(function (item) {
        addLine(out, chomp(String(item.log || "")), "lv-" + (item.level || "info"));
      });
      while (out.childNodes.length > MAX_LOG_LINES) out.removeChild(out.firstChild);
      if (logDown) addLine(out, "the server answers again", "lv-info");
      logDown = false;
      if (!el("log-pause").checked) out.scrollTop = out.scrollHeight;
      el("log-state").textContent = "";
      el("log-state").className = "";
    }).catch(function (e) {
      var text = failText(e);
      if (!logDown) addLine(el("log-out"), text + "; still trying", "lv-error");
      logDown = true;
      el("log-state").textContent = text;
      el("log-state").className = "bad";
    }).then(function () {
      logBusy = false;
      if (logActive) setTimeout(pollLog, LOG_PAUSE_MS);
    });
  }
  el("log-clear").addEventListener("click", function () { el("log-out").textContent = ""; });

  // ---- configuration ----
  function sendUpdate(name, value, state) {
    state.textContent = "...";
    state.className = "state";
    getJson("/update", { name: name, value: value }, CMD_TIMEOUT_MS).then(function (ans) {
      var ok = ans && ans.success === true;
      state.textContent = ok ? "ok" : String((ans && ans.msg) || "failed");
      state.className = "state " + (ok ? "ok" : "bad");
    }).catch(function (e) {
      state.textContent = e.message;
      state.className = "state bad";
    });
  }

  function editor(item, state) {
    var input;
    if (item.type === "enum") {
      input = document.createElement("select");
      String(item.range || "").split("/").forEach(function (opt) {
        if (!opt.length) return;
        var o = document.createElement("option");
        o.value = opt;
        o.textContent = opt;
        input.appendChild(o);
      });
      input.value = item.value;
    } else {
      input = document.createElement("input");
      input.value = item.value;
    }
    input.className = "val";
    input.setAttribute("data-name", item.name);
    input.addEventListener("change", function () { sendUpdate(item.name, input.value, state); });
    return input;
  }

  function loadConfig() {
    var body = document.querySelector("#config-table tbody");
    el("config-state").textContent = "loading...";
    getJson("/config", {}, CMD_TIMEOUT_MS).then(function (items) {
      body.textContent = "";
      (items || []).forEach(function (item) {
        var tr = document.createElement("tr");
        tr.setAttribute("data-name", item.name);
        var state = document.createElement("td");
        state.className = "state";
        var cells = [item.desc, null, item.name, item.type, item.range || ""];
        cells.forEach(function (text) {
          var td = document.createElement("td");
          if (text === null) td.appendChild(editor(item, state));
          else td.textContent = text;
          tr.appendChild(td);
        });
        tr.appendChild(state);
        body.appendChild(tr);
      });
      el("config-state").textContent = "";
    }).catch(function (e) {
      el("config-state").textContent = "config: " + e.message;
    });
  }
  el("config-reload").addEventListener("click", loadConfig);

  addLine(el("console-out"), el("prompt").textContent + " type help for the commands", "hint");

  var tabs = document.querySelectorAll("nav button");
  for (var i = 0; i < tabs.length; i++)
    tabs[i].addEventListener("click", function (ev) { show(ev.currentTarget.getAttribute("data-view")); });
})();
</script>
</body>
</html>
)PAGE";
