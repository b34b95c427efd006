"""A page as a browser shows it: Debian's Chromium, headless, driven by its ChromeDriver."""
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

# As the machine allows it: no sandbox as root, and no connections of Chromium's own.
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--allow-file-access-from-files", "--window-size=1600,1200"]


def shown_images(page):
    """(every image's source, whether it loaded, its file's size in pixels, the size it is
    shown at) and the page's text, as Chromium shows page (an HTML file)."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    with tempfile.TemporaryDirectory() as profile:
        for flag in FLAGS + [f"--user-data-dir={profile}"]:
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.get(Path(page).resolve().as_uri())
            images = driver.execute_script(
                "return Array.from(document.images).map(i => [i.getAttribute('src'), "
                "i.complete && i.naturalWidth > 0, [i.naturalWidth, i.naturalHeight], "
                "[i.getBoundingClientRect().width, i.getBoundingClientRect().height]])")
            text = driver.execute_script("return document.body.innerText")
        finally:
            driver.quit()
    return [(src, loaded, tuple(natural), tuple(shown))
            for src, loaded, natural, shown in images], text
