// Drives the web tool's console page in headless Chromium: a command in the
// console view, a record in the log view, a variable changed in the
// configuration view. A screenshot is kept in the work directory.
//   node console_test.js <vkto> <work directory>
"use strict";
const { spawn } = require("child_process");
const fs = require("fs");
const http = require("http");
const net = require("net");
const os = require("os");
const path = require("path");
const puppeteer = require("puppeteer-core");

const [vktoExe, workDir] = process.argv.slice(2);
const STEP_MS = 15000;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => {
      const port = s.address().port;
      s.close(() => resolve(port));
    });
  });
}

function get(port, target) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: "127.0.0.1", port, path: target, timeout: 5000 }, (res) => {
      let body = "";
      res.on("data", (d) => (body += d));
      res.on("end", () => resolve(body));
    });
    req.on("timeout", () => req.destroy(new Error("timeout")));
    req.on("error", reject);
  });
}

async function waitPort(port) {
  for (let i = 0; i < 100; i++) {
    try {
      await get(port, "/favicon.ico");
      return;
    } catch (e) {
      await new Promise((r) => setTimeout(r, 100));
    }
  }
  throw new Error("vkto never answered on " + port);
}

function startVkto(port) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vkto_browser_"));
  fs.copyFileSync(vktoExe, path.join(dir, "vkto"));
  fs.chmodSync(path.join(dir, "vkto"), 0o755);
  fs.writeFileSync(path.join(dir, "vkto.ini"),
    "[debug]\nshell_server_port=0\nhttp_server_port=" + port + "\nhttp_server_addr=127.0.0.1\n\n[log]\nlevel=info\n");
  const proc = spawn(path.join(dir, "vkto"), ["-q"], { cwd: dir, stdio: ["pipe", "ignore", "ignore"] });
  return { proc, dir };
}

async function main() {
  const port = await freePort();
  const vkto = startVkto(port);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vkto_chromium_"));
  let browser = null;
  let failed = null;
  try {
    await waitPort(port);
    browser = await puppeteer.launch({
      executablePath: "/usr/bin/chromium",
      headless: true,
      userDataDir: profile,
      args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync"],
      timeout: STEP_MS,
    });
    const page = await browser.newPage();
    page.setDefaultTimeout(STEP_MS);
    await page.setViewport({ width: 1200, height: 800 });
    await page.goto("http://127.0.0.1:" + port + "/", { waitUntil: "load" });

    // Console: "show info" shows the version.
    await page.type("#cmd", "show info");
    await page.keyboard.press("Enter");
    await page.waitForFunction(() => document.getElementById("console-out").textContent.includes("ver=1.0.0.0"));
    console.log("ok: console shows ver=1.0.0.0");

    // Log: "call tlog" adds records that the view shows.
    await page.click("#tab-log");
    await new Promise((r) => setTimeout(r, 500));
    await get(port, "/cmd?command=call%20tlog");
    await page.waitForFunction(() => document.getElementById("log-out").textContent.includes("log_warn"));
    console.log("ok: log view shows the record of call tlog");

    // Configuration: log.level set to dbg in the table.
    await page.click("#tab-config");
    const sel = 'select.val[data-name="log.level"]';
    await page.waitForSelector(sel);
    await page.select(sel, "dbg");
    await page.waitForFunction(() => {
      const row = document.querySelector('tr[data-name="log.level"] td.state');
      return row && row.textContent === "ok";
    });
    const cfg = JSON.parse(await get(port, "/config?token=52718364"));
    const level = cfg.find((i) => i.name === "log.level");
    if (!level || level.value !== "dbg") throw new Error("config reports " + JSON.stringify(level));
    console.log("ok: configuration view changed log.level to dbg");
    await page.click("#tab-console");
    await page.screenshot({ path: path.join(workDir, "browser-console.png") });
  } catch (e) {
    failed = e;
  } finally {
    if (browser) await browser.close().catch(() => {});
    vkto.proc.kill("SIGTERM");
    await new Promise((r) => {
      const t = setTimeout(() => { vkto.proc.kill("SIGKILL"); r(); }, 5000);
      vkto.proc.on("exit", () => { clearTimeout(t); r(); });
    });
    fs.rmSync(vkto.dir, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
  }
  if (failed) {
    console.error("FAIL: " + (failed.stack || failed));
    process.exit(1);
  }
  console.log("browser test passed");
}

const guard = setTimeout(() => {
  console.error("FAIL: browser test did not end within 120 s");
  process.exit(1);
}, 120000);
guard.unref();
main();
