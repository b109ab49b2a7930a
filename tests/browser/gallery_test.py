# The gallery in a real browser: 10 tabs are open (the one that opened the shared event stream
# closed meanwhile), the instrument prints (the simulator, through krt460 listen), and the
# picture shows in every tab within a second without a reload, the very bytes listen saved; the
# PNG the page offers holds the same pixels. Debian's chromium and chromedriver through selenium.
# Usage: gallery_test.py krt460 instrument_simulator sample.bin sample.bmp png_shows_bmp.py
#        [--screenshot FILE DIR]: also save a picture of the page, DIR's captures beside the print.
import base64, os, re, shutil, subprocess, sys, tempfile, time

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIPPED: python3-selenium is not installed"); sys.exit(77)
if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
    print("SKIPPED: chromium or chromedriver is not installed"); sys.exit(77)

krt460, simulator, frame, sample_bmp, png_check = sys.argv[1:6]
screenshot = sys.argv[7] if sys.argv[6:7] == ["--screenshot"] else None
work = tempfile.mkdtemp(prefix="krt460-gallery.")
if screenshot:
    shutil.copytree(sys.argv[8], os.path.join(work, "gallery"))
gallery, bench = os.path.join(work, "gallery"), os.path.join(work, "gallery", "bench-ttyV0")
port, trigger, downloads = (os.path.join(work, name) for name in ("port", "print", "downloads"))
os.makedirs(downloads)
processes, driver = [], None


def start(args, log):
    processes.append(subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                      stderr=open(os.path.join(work, log), "w")))


def wait_for(check, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError("gave up waiting for " + what)


def port_held():  # as the simulator answers a "?" beside its trigger
    if os.path.exists(trigger + ".answer"):
        answer = open(trigger + ".answer").read()  # "open N": held, its input flushed N times
        held = answer.startswith("open ") and answer != "open 0"
        os.remove(trigger + ".answer")
        return held
    if not os.path.exists(trigger):
        open(trigger + ".new", "w").write("?")
        os.rename(trigger + ".new", trigger)


try:
    os.makedirs(bench)
    start([simulator, frame, "--link", port, "--trigger", trigger, "--baud", "115200"], "sim.log")
    wait_for(lambda: os.path.islink(port), "the simulator's port")
    start([krt460, "listen", "--port", port, "--dir", bench], "listen.log")
    start([krt460, "serve", "--dir", gallery, "--bind", "127.0.0.1:0"], "serve.log")
    url = wait_for(lambda: re.search(r"at (http://127\.0\.0\.1:\d+/)", open(
        os.path.join(work, "serve.log")).read()), "serve").group(1)

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--no-first-run", "--window-size=1100,1000",
                     "--user-data-dir=" + os.path.join(work, "profile")):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.get(url)
    first = driver.current_window_handle
    for _ in range(10):
        driver.switch_to.new_window("tab")
        driver.get(url)
    driver.switch_to.window(first)
    driver.close()
    tabs = driver.window_handles
    for tab in tabs:  # each notes when the print shows (nothing after a reload)
        driver.switch_to.window(tab)
        wait_for(lambda: driver.find_element(By.ID, "live").text == "live", "the event stream")
        driver.execute_script(
            "new MutationObserver(() => { const f ="
            " document.querySelector('#newest figure'); if (f && f.textContent.includes("
            "'bench-ttyV0')) window.krt460Shown ??= Date.now(); }).observe(document.getElementById"
            "('newest'), { childList: true, subtree: true })")

    wait_for(port_held, "listen to hold the port")
    open(trigger, "w").close()  # the print key
    [saved] = wait_for(lambda: [os.path.join(bench, n) for n in os.listdir(bench)
                                if n.endswith(".bmp")], "the saved picture")  # one, no more
    for tab in tabs:
        driver.switch_to.window(tab)
        newest = wait_for(lambda: driver.execute_script(
            "const i = document.getElementById('newest-picture');"
            "return i && i.complete && i.naturalWidth === 160 && window.krt460Shown ? i : null"),
            "the new picture in every tab, without a reload")
        late = driver.execute_script("return window.krt460Shown") - os.stat(saved).st_mtime * 1000
        assert late < 1000, "a tab showed the print %d ms after its file" % late
    assert newest.size["width"] % 160 == 0 and newest.size["width"] >= 160, newest.size
    shown = base64.b64decode(driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(arguments[0].src).then(r => r.arrayBuffer()).then(b => done(btoa("
        "String.fromCharCode(...new Uint8Array(b)))))", newest))
    assert shown == open(saved, "rb").read(), "the page shows other bytes than the saved file"
    assert shown == open(sample_bmp, "rb").read(), "listen saved another picture"

    # The PNG at twice the size, as a user downloads it.
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    driver.find_element(By.XPATH, "//section[@id='newest']//a[text()='PNG \u00d72']").click()
    png = wait_for(lambda: [os.path.join(downloads, n) for n in os.listdir(downloads)
                            if n.endswith("-x2.png")], "the PNG download")[0]
    wait_for(lambda: os.path.getsize(png) > 0, "the whole PNG")
    assert subprocess.call([sys.executable, png_check, png, saved]) == 0, "PNG pixels differ"
    if screenshot:
        driver.save_screenshot(screenshot)
    print("gallery in the browser: 1 passed, 0 failed")
finally:
    if driver:
        driver.quit()
    for process in processes:
        process.terminate()
        process.wait()
    shutil.rmtree(work, ignore_errors=True)
