"""What the browser tests share: headless Chromium (chromium-driver +
python3-selenium), skipping (exit 77) only when it or a Python module is
missing, screenshots with TOLVEX_CAPTURAS=DIR, waits that survive the page
redrawing under them, and the monitor's sign-in with a master password.
Imported by the tests beside it (their directory is first on sys.path)."""
import os
import shutil
import sys
import time

SALTAR = 77


def saltar(motivo):
    print('SKIP: ' + motivo)
    sys.exit(SALTAR)


CHROMIUM = shutil.which('chromium')
DRIVER = shutil.which('chromedriver') or '/usr/bin/chromedriver'
if not CHROMIUM or not os.path.exists(DRIVER):
    saltar('chromium o chromium-driver no están instalados')
try:
    from selenium import webdriver
    from selenium.common.exceptions import (NoAlertPresentException, NoSuchElementException,
                                            StaleElementReferenceException, TimeoutException,
                                            WebDriverException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as e:
    saltar('falta un módulo de Python: %s' % e)

CAPTURAS = os.environ.get('TOLVEX_CAPTURAS', '')


def chromium(prefs=None):
    """A headless Chromium, 1024x768, in Spanish."""
    op = webdriver.ChromeOptions()
    op.binary_location = CHROMIUM
    for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1024,768', '--lang=es'):
        op.add_argument(a)
    if prefs:
        op.add_experimental_option('prefs', prefs)
    return webdriver.Chrome(service=Service(DRIVER), options=op)


def captura(d, nombre, ancho=1024, alto=768):
    """A screenshot of the page laid out in a viewport of ancho x alto
    (the window's own size leaves less than that to the page)."""
    if not CAPTURAS:
        return
    d.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                      {'width': ancho, 'height': alto, 'deviceScaleFactor': 1, 'mobile': False})
    try:
        espera(d, lambda: d.execute_script('return [innerWidth, innerHeight]') == [ancho, alto], 60,
               'la ventana de %dx%d' % (ancho, alto))
        d.save_screenshot(os.path.join(CAPTURAS, nombre))
    finally:
        d.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


def espera(d, cond, segundos, que, visto=None):
    """Waits until cond() returns something true and returns it. The page may
    navigate or redraw under a wait: cond finds its elements again at every
    poll, and an element gone stale or not there yet only means "not yet".
    Limits are generous (a loaded machine is slow); the wait ends as soon as
    the condition holds. visto() says what there was instead, on failure."""
    try:
        return WebDriverWait(d, segundos, poll_frequency=0.1,
                             ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)
                             ).until(lambda _: cond())
    except TimeoutException:
        try:
            hubo = ' (hay %r)' % (visto(),) if visto else ''
        except (NoSuchElementException, StaleElementReferenceException, WebDriverException):
            hubo = ''
        raise AssertionError('no ocurrió en %d s: %s%s' % (segundos, que, hubo)) from None


def texto(d, id_):
    return d.find_element(By.ID, id_).text


def navega(d, accion, segundos=120):
    """Does accion (a click that loads another page) and waits until the page
    it was on has gone, so that what is read next is the new page."""
    viejo = d.find_element(By.TAG_NAME, 'html')
    accion()

    def ido():
        try:
            viejo.tag_name
            return False
        except StaleElementReferenceException:
            return True
        except WebDriverException as e:
            # Asked while the new page replaces it, Chromium may say so instead.
            if 'does not belong to the document' in str(e):
                return True
            raise
    espera(d, ido, segundos, 'otra página tras ' + d.current_url)


def ingresa(d, clave):
    """Signs in with a master password. Told to wait (the address's wait
    after a wrong password), it tries again once that wait has passed."""
    for _ in range(30):
        d.find_element(By.ID, 'clave').send_keys(clave)
        navega(d, d.find_element(By.ID, 'ingresar').click)
        dice = espera(d, lambda: 'dentro' if d.current_url.endswith('/estacion') else texto(d, 'mensaje'), 120,
                      'respuesta al ingreso')
        if dice == 'dentro':
            return
        assert 'Demasiados' in dice, dice
        time.sleep(1)  # the wait the page names, in whole seconds
    raise AssertionError('no se pudo ingresar: ' + texto(d, 'mensaje'))
