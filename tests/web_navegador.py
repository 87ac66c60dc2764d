#!/usr/bin/env python3
"""The web monitor in a real browser.

Headless Chromium (chromium-driver + python3-selenium) against tolvex-soak
--web: signs in (a wrong password first), watches the live weight change
while the simulated indicator runs, with one line sees no overview of
lines, with a second line (added while it runs, named with markup) sees
both lines' tiles and follows line 2 from its tile, sees the lost link as
the station's window shows it while the indicator is silent, sees the page go stale when
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
import zipfile

from navegador import (By, CAPTURAS, NoAlertPresentException, NoSuchElementException,
                       StaleElementReferenceException, captura, chromium, espera, ingresa, navega, saltar,
                       texto)

try:
    import openpyxl
except ImportError as e:
    saltar('falta un módulo de Python: %s' % e)


def lee(d, id_):
    """The element's text, or None while the page replaces it."""
    try:
        return d.find_element(By.ID, id_).text
    except (NoSuchElementException, StaleElementReferenceException):
        return None


def tesela(d, n, parte):
    """A part of line n's tile (nombre, peso, marcha, vigencia), or None."""
    try:
        return d.find_element(By.CSS_SELECTOR, '#linea-%d .tesela-%s' % (n, parte)).text
    except (NoSuchElementException, StaleElementReferenceException):
        return None


NOMBRE2 = '<script>alert(1)</script>'


def main():
    soak = sys.argv[1]
    tmp = tempfile.mkdtemp(prefix='tolvex-web-')
    descargas = os.path.join(tmp, 'descargas')
    os.makedirs(descargas)
    err = open(os.path.join(tmp, 'soak.err'), 'w')
    # The station runs until this test says (a line on its input), however
    # long the browser takes to start and sign in on a loaded machine; its
    # rows carry "Línea 1" as their first datum, and the indicator falls
    # silent for 12 s when the test asks.
    proc = subprocess.Popen([soak, '--minutes', '10', '--stop-on-input', '--speed', '20', '--web', '0',
                             '--web-clave', 'monitor', '--web-espera', '600', '--puesto', 'Línea 1', '--mudo', '12',
                             '--linea2', NOMBRE2,
                             '--keep', os.path.join(tmp, 'programa')],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True,
                            env=dict(os.environ, QT_QPA_PLATFORM='offscreen'))
    d = None
    try:
        linea = proc.stdout.readline().split()
        assert linea[:1] == ['web'], 'tolvex-soak no sirvió el monitor: %r' % linea
        base = linea[1]
        d = chromium({'download.default_directory': descargas, 'download.prompt_for_download': False})
        d.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': descargas})

        # Without a session the station page leads to the sign-in.
        d.get(base + 'estacion')
        espera(d, lambda: d.current_url.endswith('/ingreso'), 120, 'redirección al ingreso')
        captura(d, 'manual-web-ingreso.png')
        d.find_element(By.ID, 'clave').send_keys('equivocada')
        # The answer to a wrong password comes late, on purpose: the old page
        # stays until then.
        navega(d, d.find_element(By.ID, 'ingresar').click)
        espera(d, lambda: 'Contraseña incorrecta' in texto(d, 'mensaje'), 120, 'aviso de contraseña incorrecta',
               lambda: d.find_element(By.TAG_NAME, 'body').text)
        assert '/ingreso' in d.current_url
        captura(d, 'manual-web-ingreso-error.png')
        ingresa(d, 'monitor')

        # Live: the weight changes while the indicator runs, pushed by the server.
        espera(d, lambda: texto(d, 'vigencia') == 'En línea', 120, 'estado en línea', lambda: texto(d, 'vigencia'))
        vistos = set()

        def pesos_distintos():
            vistos.add(texto(d, 'peso'))
            return len(vistos) >= 3
        espera(d, pesos_distintos, 120, 'el peso cambia', lambda: vistos)
        # Rows enough for the reports below: one per cycle completed since
        # the station opened (at cycle 0).
        espera(d, lambda: texto(d, 'ciclos').isdigit() and int(texto(d, 'ciclos')) >= 6, 300, 'seis ciclos',
               lambda: texto(d, 'ciclos'))
        assert len(d.find_elements(By.CSS_SELECTOR, '#salidas .lampara')) == 8
        assert len(d.find_elements(By.CSS_SELECTOR, '#entradas .lampara')) == 8
        # The reading's time as the plant's screens write it: date, 24 hours, seconds.
        espera(d, lambda: re.fullmatch(r'Lectura: \d\d/\d\d/\d{4} \d\d:\d\d:\d\d', lee(d, 'actualizado') or ''),
               120, 'hora de la lectura', lambda: lee(d, 'actualizado'))
        if CAPTURAS:
            time.sleep(3)  # a few seconds of trend in the picture
        captura(d, 'manual-web-estacion.png')
        captura(d, 'manual-web-estacion-telefono.png', 390, 844)

        # One line: no overview of lines, no line named anywhere.
        assert not d.find_element(By.ID, 'lineas').is_displayed()
        assert not d.find_element(By.ID, 'nombre-linea').is_displayed()
        assert 'Línea' not in d.find_element(By.TAG_NAME, 'body').text

        # Line 2 opens while the monitor runs. The page, loaded again, shows
        # both lines at the top and line 1 (the default) below.
        proc.stdin.write('linea2\n')
        proc.stdin.flush()
        dice = proc.stdout.readline().split()
        assert dice[:1] == ['linea2'], 'tolvex-soak no abrió la línea 2: %r' % dice
        d.get(base + 'estacion')
        espera(d, lambda: (tesela(d, 1, 'nombre'), tesela(d, 2, 'nombre')) == ('Línea 1', NOMBRE2), 120,
               'las teselas de las dos líneas', lambda: [t.text for t in d.find_elements(By.CSS_SELECTOR, '.tesela')])
        espera(d, lambda: (tesela(d, 2, 'peso'), tesela(d, 2, 'marcha'), tesela(d, 2, 'vigencia')) ==
               ('4321 kg', 'Detenida', 'En línea'), 120, 'la tesela de la línea 2',
               lambda: (tesela(d, 2, 'peso'), tesela(d, 2, 'marcha'), tesela(d, 2, 'vigencia')))
        # The name is shown as text: nothing of it became markup or ran.
        assert not d.find_elements(By.CSS_SELECTOR, '#lineas script')
        try:
            d.switch_to.alert
            raise AssertionError('un nombre de línea abrió un aviso')
        except NoAlertPresentException:
            pass
        assert 'activa' in d.find_element(By.ID, 'linea-1').get_attribute('class')
        assert texto(d, 'nombre-linea') == 'Línea 1'

        # Line 2's tile leads to line 2: its weight below, its name above;
        # line 1's tile goes on moving.
        navega(d, d.find_element(By.ID, 'linea-2').click)
        assert d.current_url.endswith('/estacion?linea=2'), d.current_url
        espera(d, lambda: (lee(d, 'peso'), lee(d, 'vigencia'), lee(d, 'nombre-linea')) == ('4321', 'En línea', NOMBRE2),
               120, 'la línea 2 en detalle', lambda: (lee(d, 'peso'), lee(d, 'vigencia'), lee(d, 'nombre-linea')))
        assert 'activa' in d.find_element(By.ID, 'linea-2').get_attribute('class')
        captura(d, 'web-lineas.png')
        pesos1 = set()

        def linea1_cambia():
            pesos1.add(tesela(d, 1, 'peso'))
            return len(pesos1 - {None}) >= 3
        espera(d, linea1_cambia, 120, 'el peso de la línea 1 cambia en su tesela', lambda: pesos1)
        navega(d, d.find_element(By.ID, 'linea-1').click)
        espera(d, lambda: (lee(d, 'vigencia'), lee(d, 'nombre-linea')) == ('En línea', 'Línea 1'), 120,
               'la línea 1 otra vez', lambda: (lee(d, 'vigencia'), lee(d, 'nombre-linea')))

        # The indicator falls silent: the page says what the window says, with
        # the time of the values it still shows.
        proc.stdin.write('mudo\n')
        proc.stdin.flush()
        espera(d, lambda: (lee(d, 'error'), lee(d, 'vigencia'), (lee(d, 'actualizado') or '')[:16]) ==
               ('Error de conexion', 'Sin respuesta del indicador', 'Última lectura: '), 120,
               'error de conexión como en la ventana, con la hora de la última lectura',
               lambda: (lee(d, 'error'), lee(d, 'vigencia'), lee(d, 'actualizado')))
        espera(d, lambda: lee(d, 'vigencia') == 'En línea', 120, 'en línea otra vez', lambda: lee(d, 'vigencia'))

        # The station closes: the page says so at once, with the last values
        # and when they were read, not zeros.
        proc.stdin.write('fin\n')
        proc.stdin.flush()
        espera(d, lambda: lee(d, 'vigencia') == 'Estación cerrada', 300, 'estación cerrada',
               lambda: lee(d, 'vigencia'))
        assert 'viejo' in d.find_element(By.TAG_NAME, 'body').get_attribute('class')
        espera(d, lambda: (lee(d, 'actualizado') or '').startswith('Última lectura: '), 120, 'hora de la última lectura')
        assert lee(d, 'fino') not in ('0', '-', None), lee(d, 'fino')
        captura(d, 'manual-web-estacion-cerrada.png')

        # Batches: today's rows, then a ticket range.
        d.get(base + 'reportes')
        espera(d, lambda: len(d.find_elements(By.CSS_SELECTOR, '#hoy tbody tr')) > 0, 120, 'lotes de hoy')
        d.find_element(By.ID, 'ticketDesde').send_keys('2')
        d.find_element(By.ID, 'ticketHasta').send_keys('5')
        d.find_element(By.ID, 'filtrar').click()

        def tickets():
            return [f.find_elements(By.TAG_NAME, 'td')[0].text
                    for f in d.find_elements(By.CSS_SELECTOR, '#seleccion tbody tr')]
        espera(d, lambda: '4 registros' in texto(d, 'sel-resumen') and tickets() == ['2', '3', '4', '5'], 120,
               'filtro de tickets 2 a 5', lambda: (texto(d, 'sel-resumen'), tickets()))
        # Dates and times as the plant's screens write them (no locale: dd/MM/yyyy).

        def fechas():
            try:
                return [[c.text for c in f.find_elements(By.TAG_NAME, 'td')[1:3]]
                        for f in d.find_elements(By.CSS_SELECTOR, '#seleccion tbody tr')]
            except StaleElementReferenceException:
                return None
        espera(d, lambda: (f := fechas()) and all(re.fullmatch(r'\d\d/\d\d/\d{4}', x) and
                                                   re.fullmatch(r'\d\d:\d\d:\d\d', y) for x, y in f),
               120, 'fechas y horas de la selección', fechas)
        d.execute_script('window.scrollTo(0, 0)')
        captura(d, 'manual-web-reportes.png')
        captura(d, 'manual-web-reportes-telefono.png', 390, 844)

        # A text with a blank finds every row of the station; with "Totales"
        # the title has no stray "y".
        d.find_element(By.ID, 'limpiar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith(tuple('0123456789')), 120, 'selección completa')
        todas = lee(d, 'sel-resumen').split(' registros')[0]
        d.find_element(By.ID, 'texto').send_keys('Línea 1')
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith('Filtro: (Puesto = Línea 1) - %s registros' % todas),
               20, 'filtro con un blanco: %s registros' % todas)
        d.find_element(By.ID, 'totales').click()
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: (lee(d, 'sel-resumen') or '').startswith('Filtro: (Puesto = Línea 1) - '), 120,
               'totales y filtro sin "y"')
        d.find_element(By.ID, 'limpiar').click()
        d.find_element(By.ID, 'ticketDesde').send_keys('2')
        d.find_element(By.ID, 'ticketHasta').send_keys('5')
        d.find_element(By.ID, 'filtrar').click()
        espera(d, lambda: '4 registros' in (lee(d, 'sel-resumen') or ''), 120, 'filtro de tickets 2 a 5 otra vez')

        d.find_element(By.ID, 'xlsx').click()

        def descargado():
            # Chromium writes a .crdownload and renames it when complete.
            archivos = glob.glob(os.path.join(descargas, '*.xlsx'))
            if len(archivos) != 1 or glob.glob(os.path.join(descargas, '*.crdownload')):
                return None
            try:
                return archivos[0], openpyxl.load_workbook(archivos[0])
            except (zipfile.BadZipFile, OSError, EOFError):
                return None
        archivo, libro = espera(d, descargado, 180, 'descarga del xlsx', lambda: os.listdir(descargas))
        hoja = libro['REPORTE']
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
