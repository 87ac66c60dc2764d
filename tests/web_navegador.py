#!/usr/bin/env python3
"""The web monitor in a real browser.

Headless Chromium (chromium-driver + python3-selenium) against tolvex-soak
--web: signs in (a wrong password first), watches the live weight change
while the simulated indicator runs, sees the lost link as the station's
window shows it while the indicator is silent, sees the page go stale when
the station closes, filters the batches (a text with a blank among them)
and downloads the export, which openpyxl reads.
With TOLVEX_CAPTURAS=DIR it saves a screenshot of each page there.

    web_navegador.py PATH/TO/tolvex-soak
Exit 77 (skipped) only when Chromium, its driver or a Python module is missing.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
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
    import openpyxl
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as e:
    saltar('falta un módulo de Python: %s' % e)

CAPTURAS = os.environ.get('TOLVEX_CAPTURAS', '')


def captura(d, nombre, ancho=1024, alto=768):
    if not CAPTURAS:
        return
    d.set_window_size(ancho, alto)
    time.sleep(0.5)
    d.save_screenshot(os.path.join(CAPTURAS, nombre))
    d.set_window_size(1024, 768)


def espera(d, cond, segundos, que):
    try:
        return WebDriverWait(d, segundos, poll_frequency=0.1).until(lambda _: cond())
    except Exception:
        raise AssertionError('no ocurrió: ' + que)


def texto(d, id_):
    return d.find_element(By.ID, id_).text


def lee(d, id_):
    """The element's text, or None while the page replaces it."""
    try:
        return d.find_element(By.ID, id_).text
    except (NoSuchElementException, StaleElementReferenceException):
        return None


def main():
    soak = sys.argv[1]
    tmp = tempfile.mkdtemp(prefix='tolvex-web-')
    descargas = os.path.join(tmp, 'descargas')
    os.makedirs(descargas)
    err = open(os.path.join(tmp, 'soak.err'), 'w')
    # The station's rows carry "Línea 1" as their first datum; the indicator
    # is silent for 12 s from the middle of the run.
    proc = subprocess.Popen([soak, '--minutes', '1', '--speed', '20', '--web', '0', '--web-clave', 'monitor',
                             '--web-espera', '300', '--puesto', 'Línea 1', '--mudo', '12',
                             '--keep', os.path.join(tmp, 'programa')],
                            stdout=subprocess.PIPE, stderr=err, text=True,
                            env=dict(os.environ, QT_QPA_PLATFORM='offscreen'))
    d = None
    try:
        linea = proc.stdout.readline().split()
        assert linea[:1] == ['web'], 'tolvex-soak no sirvió el monitor: %r' % linea
        base = linea[1]
        op = webdriver.ChromeOptions()
        op.binary_location = CHROMIUM
        for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1024,768', '--lang=es'):
            op.add_argument(a)
        op.add_experimental_option('prefs', {'download.default_directory': descargas,
                                             'download.prompt_for_download': False})
        d = webdriver.Chrome(service=Service(DRIVER), options=op)
        d.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': descargas})

        # Without a session the station page leads to the sign-in.
        d.get(base + 'estacion')
        espera(d, lambda: d.current_url.endswith('/ingreso'), 10, 'redirección al ingreso')
        captura(d, 'manual-web-ingreso.png')
        d.find_element(By.ID, 'clave').send_keys('equivocada')
        d.find_element(By.ID, 'ingresar').click()
        espera(d, lambda: 'Contraseña incorrecta' in d.find_element(By.TAG_NAME, 'body').text, 15,
               'aviso de contraseña incorrecta')
        assert '/ingreso' in d.current_url
        captura(d, 'manual-web-ingreso-error.png')
        time.sleep(1.2)  # the address's wait after one failure
        d.find_element(By.ID, 'clave').send_keys('monitor')
        d.find_element(By.ID, 'ingresar').click()
        espera(d, lambda: d.current_url.endswith('/estacion'), 15, 'ingreso con la contraseña maestra')

        # Live: the weight changes while the indicator runs, pushed by the server.
        espera(d, lambda: texto(d, 'vigencia') == 'En línea', 20, 'estado en línea')
        vistos = set()
        fin = time.time() + 20
        while time.time() < fin and len(vistos) < 3:
            vistos.add(texto(d, 'peso'))
            time.sleep(0.2)
        assert len(vistos) >= 3, 'el peso no cambió: %r' % vistos
        assert len(d.find_elements(By.CSS_SELECTOR, '#salidas .lampara')) == 8
        assert len(d.find_elements(By.CSS_SELECTOR, '#entradas .lampara')) == 8
        # The reading's time as the plant's screens write it: 24 hours, seconds.
        assert re.fullmatch(r'Lectura: \d\d:\d\d:\d\d', texto(d, 'actualizado')), texto(d, 'actualizado')
        time.sleep(3)
        captura(d, 'manual-web-estacion.png')
        captura(d, 'manual-web-estacion-telefono.png', 390, 844)

        # The indicator falls silent: the page says what the window says, with
        # the time of the values it still shows.
        espera(d, lambda: lee(d, 'error') == 'Error de conexion', 90, 'error de conexión como en la ventana')
        assert lee(d, 'vigencia') == 'Sin respuesta del indicador', lee(d, 'vigencia')
        assert (lee(d, 'actualizado') or '').startswith('Última lectura: '), lee(d, 'actualizado')
        espera(d, lambda: lee(d, 'vigencia') == 'En línea', 90, 'en línea otra vez')

        # The station closes at the end of the run: the page says so at once,
        # with the last values and when they were read, not zeros.
        espera(d, lambda: texto(d, 'vigencia') == 'Estación cerrada', 180, 'estación cerrada')
        assert 'viejo' in d.find_element(By.TAG_NAME, 'body').get_attribute('class')
        espera(d, lambda: (lee(d, 'actualizado') or '').startswith('Última lectura: '), 20, 'hora de la última lectura')
        assert lee(d, 'fino') not in ('0', '-', None), lee(d, 'fino')
        captura(d, 'manual-web-estacion-cerrada.png')

        # Batches: today's rows, then a ticket range.
        d.get(base + 'reportes')
        espera(d, lambda: len(d.find_elements(By.CSS_SELECTOR, '#hoy tbody tr')) > 0, 20, 'lotes de hoy')
        d.find_element(By.ID, 'ticketDesde').send_keys('2')
        d.find_element(By.ID, 'ticketHasta').send_keys('5')
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: '4 registros' in texto(d, 'sel-resumen'), 20, 'filtro de tickets 2 a 5')
        tickets = [f.find_elements(By.TAG_NAME, 'td')[0].text
                   for f in d.find_elements(By.CSS_SELECTOR, '#seleccion tbody tr')]
        assert tickets == ['2', '3', '4', '5'], tickets
        # Dates and times as the plant's screens write them (no locale: dd/MM/yyyy).
        fechas = [[c.text for c in f.find_elements(By.TAG_NAME, 'td')[1:3]]
                  for f in d.find_elements(By.CSS_SELECTOR, '#seleccion tbody tr')]
        assert all(re.fullmatch(r'\d\d/\d\d/\d{4}', f) and re.fullmatch(r'\d\d:\d\d:\d\d', h)
                   for f, h in fechas), fechas
        d.execute_script('window.scrollTo(0, 0)')
        captura(d, 'manual-web-reportes.png')
        captura(d, 'manual-web-reportes-telefono.png', 390, 844)

        # A text with a blank finds every row of the station; with "Totales"
        # the title has no stray "y".
        d.find_element(By.ID, 'limpiar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith(tuple('0123456789')), 20, 'selección completa')
        todas = lee(d, 'sel-resumen').split(' registros')[0]
        d.find_element(By.ID, 'texto').send_keys('Línea 1')
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith('Filtro: (Puesto = Línea 1) - %s registros' % todas),
               20, 'filtro con un blanco: %s registros' % todas)
        d.find_element(By.ID, 'totales').click()
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith('Filtro: (Puesto = Línea 1) - '), 20,
               'totales y filtro sin "y"')
        d.find_element(By.ID, 'limpiar').click()
        d.find_element(By.ID, 'ticketDesde').send_keys('2')
        d.find_element(By.ID, 'ticketHasta').send_keys('5')
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: '4 registros' in (lee(d, 'sel-resumen') or ''), 20, 'filtro de tickets 2 a 5 otra vez')

        d.find_element(By.ID, 'xlsx').click()
        espera(d, lambda: [f for f in glob.glob(os.path.join(descargas, '*.xlsx'))], 60, 'descarga del xlsx')
        archivo = glob.glob(os.path.join(descargas, '*.xlsx'))[0]
        espera(d, lambda: not glob.glob(os.path.join(descargas, '*.crdownload')), 30, 'descarga completa')
        hoja = openpyxl.load_workbook(archivo)['REPORTE']
        leidos = [hoja.cell(row=r, column=1).value for r in range(8, 12)]
        assert [int(float(t)) for t in leidos] == [2, 3, 4, 5], leidos
        assert hoja.cell(row=12, column=1).value in (None, ''), 'filas de más en el xlsx'
        print('web_navegador: bien (pesos vistos %d, xlsx %s)' % (len(vistos), os.path.basename(archivo)))
        return 0
    finally:
        if d:
            d.quit()
        proc.terminate()
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
        err.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
