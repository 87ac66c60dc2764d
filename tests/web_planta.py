#!/usr/bin/env python3
"""The plant page in a real browser, with two workstations on a real
PostgreSQL database.

Workstation A (two lines, with its monitor) and workstation B (three lines,
line 2 named with markup) run as tolvex-planta on a database of this test's
own. Headless Chromium signs in on A's monitor and opens the plant from the
header: both groups, A's first and marked as its own, B's three tiles, the
markup shown as text. B's weight changes without a reload; B killed (-9)
turns stale while A stays live; B started again on its directory is the same
group, live again, and follows its weights. /api/planta says what the page
shows, with the session only, and only to a GET.
With TOLVEX_CAPTURAS=DIR it saves planta.png and planta-vieja.png there.

    web_planta.py PATH/TO/tolvex-planta PATH/TO/tolvex-setup BUILD_DIR
The database server is TOLVEX_TEST_PG's, else the ctest fixture's
(BUILD_DIR/pg-fixture.conexion).
Exit 77 (skipped) only when Chromium, its driver or a Python module is
missing, or when there is no PostgreSQL server.
"""
import glob
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from navegador import By, NoAlertPresentException, captura, chromium, espera, ingresa, navega, saltar, texto

NOMBRE2 = '<script>alert(1)</script><img src=x onerror=alert(2)>'
# B's name, given by its installer: before A's identity by name, A still first.
NOMBRE_B = 'Báscula <b>"0"</b>'
CLAVE = 'monitor-planta'


def conexion(build):
    """The PostgreSQL server's connection string, or '' when there is none."""
    if 'TOLVEX_TEST_PG' in os.environ:
        return os.environ['TOLVEX_TEST_PG'].strip()
    try:
        with open(os.path.join(build, 'pg-fixture.conexion'), encoding='utf-8') as f:
            return f.read().strip()
    except OSError:
        return ''


def campos(cs):
    return {k.strip().lower(): v for k, _, v in (p.partition('=') for p in cs.split(';') if '=' in p)}


def psql(cs, sentencia):
    """Runs a statement on the server of cs, in cs's database."""
    c = campos(cs)
    programa = shutil.which('psql') or (sorted(glob.glob('/usr/lib/postgresql/*/bin/psql')) or [None])[-1]
    if not programa:
        saltar('no está psql, el cliente de PostgreSQL')
    r = subprocess.run([programa, '-X', '-q', '-v', 'ON_ERROR_STOP=1', '-h', c.get('host', '127.0.0.1'),
                        '-p', c.get('port', '5432'), '-U', c.get('user', 'postgres'), '-d', c.get('database', 'postgres'),
                        '-c', sentencia],
                       env=dict(os.environ, PGPASSWORD=c.get('password', '')), capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, 'psql %r: %s' % (sentencia, r.stderr)


class Puesto:
    """A tolvex-planta workstation; its output read on a thread of its own so
    that a silent process fails a wait instead of hanging the test."""

    def __init__(self, programa, directorio, cs, lineas, web, errores):
        args = [programa, 'puesto', '--dir', directorio, '--postgres', cs, '--lineas', str(lineas)]
        if web:
            args += ['--web', '0', '--web-clave', CLAVE]
        self.err = open(errores, 'a')
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err,
                                     text=True, env=dict(os.environ, QT_QPA_PLATFORM='offscreen'))
        self.salida = queue.Queue()
        self.con_web = web
        self.id = self.web = None
        threading.Thread(target=self._lee, daemon=True).start()

    def arranca(self):
        """Waits until it has read its indicators; returns itself."""
        self.id = self.dice('puesto')[1]
        self.web = self.dice('web')[1] if self.con_web else None
        self.dice('listo')
        return self

    def _lee(self):
        for linea in self.proc.stdout:
            self.salida.put(linea.split())
        self.salida.put(None)

    def dice(self, que, segundos=120):
        """The next line of output starting with que (others are skipped)."""
        limite = time.monotonic() + segundos
        while True:
            try:
                linea = self.salida.get(timeout=max(0.1, limite - time.monotonic()))
            except queue.Empty:
                raise AssertionError('tolvex-planta no dijo "%s" en %d s' % (que, segundos)) from None
            if linea is None:
                raise AssertionError('tolvex-planta terminó (%s) antes de decir "%s"' % (self.proc.wait(), que))
            if linea[:1] == [que]:
                return linea

    def orden(self, texto_):
        self.proc.stdin.write(texto_ + '\n')
        self.proc.stdin.flush()

    def mata(self):
        """kill -9: it ends as a power cut ends it."""
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(60)

    def termina(self):
        if self.proc.poll() is None:
            try:
                self.orden('fin')
                self.proc.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(30)
        self.err.close()


def seccion(d, puesto):
    return d.find_element(By.CSS_SELECTOR, 'section.puesto[data-puesto="%s"]' % puesto)


def teselas(d, puesto):
    """[(line, class, name, weight, running, state)] of the workstation's tiles, in order."""
    r = []
    for t in d.find_elements(By.CSS_SELECTOR, '.tesela[data-puesto="%s"][data-linea]' % puesto):
        r.append((t.get_attribute('data-linea'), t.get_attribute('class'),
                  *(t.find_element(By.CSS_SELECTOR, '.tesela-' + p).text
                    for p in ('nombre', 'peso', 'marcha', 'vigencia'))))
    return r


def parte(d, puesto, linea, p):
    return d.find_element(By.CSS_SELECTOR, '.tesela[data-puesto="%s"][data-linea="%d"] .tesela-%s'
                          % (puesto, linea, p)).text


def clases(e):
    return set(e.get_attribute('class').split())


def pide(url, metodo='GET', cookie=None):
    """(status, headers, body) of a request that follows no redirection."""
    class SinRedirigir(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *a, **k):
            return None
    pedido = urllib.request.Request(url, method=metodo, data=b'' if metodo == 'POST' else None)
    if cookie:
        pedido.add_header('Cookie', cookie)
    try:
        with urllib.request.build_opener(SinRedirigir).open(pedido, timeout=60) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def sin_alerta(d):
    try:
        a = d.switch_to.alert
        raise AssertionError('un nombre de línea abrió un aviso: %r' % a.text)
    except NoAlertPresentException:
        pass


VISTO = r'Sin noticias desde \d\d/\d\d/\d{4} \d\d:\d\d:\d\d'


def main():
    planta, setup, build = sys.argv[1:4]
    cs0 = conexion(build)
    if not cs0:
        saltar('no hay un servidor PostgreSQL de prueba')
    base = 'tolvex_web_planta_%d' % os.getpid()
    psql(cs0, 'DROP DATABASE IF EXISTS %s WITH (FORCE)' % base)
    psql(cs0, 'CREATE DATABASE ' + base)
    cs = re.sub(r'(?i)Database=[^;]*', 'Database=' + base, cs0)
    tmp = tempfile.mkdtemp(prefix='tolvex-planta-web-')
    dir_a, dir_b = os.path.join(tmp, 'a'), os.path.join(tmp, 'b')
    err_a, err_b = os.path.join(tmp, 'a.err'), os.path.join(tmp, 'b.err')
    a = b = d = None
    bien = False
    try:
        # B's line 2 is named with markup before B first starts.
        for args in ([setup, dir_b, '--postgres', cs, '--puesto-nombre', NOMBRE_B],
                     [setup, dir_b, '--linea', '2', '--nombre', NOMBRE2, '--tcp', '127.0.0.1:9', '--id', '2']):
            r = subprocess.run(args, capture_output=True, text=True, timeout=120,
                               env=dict(os.environ, QT_QPA_PLATFORM='offscreen'))
            assert r.returncode == 0, 'tolvex-setup %r: %s%s' % (args[2:], r.stdout, r.stderr)
        a = Puesto(planta, dir_a, cs, 2, True, err_a)
        b = Puesto(planta, dir_b, cs, 3, False, err_b)
        a.arranca()
        b.arranca()
        assert a.id != b.id, (a.id, b.id)

        d = chromium()

        # Signed in on A's monitor, the plant is a link of the header.
        d.get(a.web + 'estacion')
        espera(d, lambda: d.current_url.endswith('/ingreso'), 120, 'redirección al ingreso')
        ingresa(d, CLAVE)
        enlace = d.find_element(By.CSS_SELECTOR, 'header nav a[href="/planta"]')
        assert enlace.text == 'Planta', enlace.text
        navega(d, enlace.click)
        assert d.current_url == a.web + 'planta', d.current_url
        espera(d, lambda: texto(d, 'vigencia') == 'En línea', 120, 'la página en línea', lambda: texto(d, 'vigencia'))
        # A mark in the page: gone if it loads again.
        d.execute_script('window.sinRecargar = 1')

        # Both groups, this workstation's first and said to be its own.
        def grupos():
            return [(s.get_attribute('data-puesto'), sorted(clases(s)))
                    for s in d.find_elements(By.CSS_SELECTOR, '#planta > section.puesto')]
        espera(d, lambda: grupos() == [(a.id, ['propio', 'puesto']), (b.id, ['puesto'])], 120,
               'los grupos de A (propio) y B', grupos)
        assert seccion(d, a.id).find_element(By.CSS_SELECTOR, '.puesto-propio').text == '(este puesto)'
        assert seccion(d, b.id).find_element(By.CSS_SELECTOR, '.puesto-propio').text == ''
        assert seccion(d, b.id).find_element(By.CSS_SELECTOR, '.puesto-visto').text == ''
        # Named by its installer, as text; A, unnamed, by its identity.
        espera(d, lambda: seccion(d, b.id).find_element(By.CSS_SELECTOR, '.puesto-nombre').text == NOMBRE_B, 120,
               'el nombre de B', lambda: seccion(d, b.id).find_element(By.CSS_SELECTOR, '.puesto-nombre').text)
        assert seccion(d, a.id).find_element(By.CSS_SELECTOR, '.puesto-nombre').text == a.id
        vivas_b = [('1', 'tesela vivo', 'Tolva A', '1000 kg', 'En línea'),
                   ('2', 'tesela vivo', NOMBRE2, '2000 kg', 'En línea'),
                   ('3', 'tesela vivo', 'Tolva C', '3000 kg', 'En línea')]
        espera(d, lambda: [t[:4] + t[5:] for t in teselas(d, b.id)] == vivas_b, 120, 'las tres teselas de B',
               lambda: teselas(d, b.id))
        espera(d, lambda: [(t[0], t[1], t[3], t[5]) for t in teselas(d, a.id)] ==
               [('1', 'tesela vivo', '1000 kg', 'En línea'), ('2', 'tesela vivo', '2000 kg', 'En línea')], 120,
               'las dos teselas de A', lambda: teselas(d, a.id))
        # Only this workstation's tiles lead to a line.
        assert all(t.tag_name == 'a' for t in d.find_elements(By.CSS_SELECTOR, '.tesela[data-puesto="%s"]' % a.id))
        assert all(t.tag_name == 'div' for t in d.find_elements(By.CSS_SELECTOR, '.tesela[data-puesto="%s"]' % b.id))

        # The name is text: nothing of it became an element or ran.
        assert not d.find_elements(By.CSS_SELECTOR, '#planta script, #planta img'), 'un nombre se volvió marcado'
        nombre2 = d.find_element(By.CSS_SELECTOR, '.tesela[data-puesto="%s"][data-linea="2"] .tesela-nombre' % b.id)
        assert nombre2.get_attribute('textContent') == NOMBRE2, nombre2.get_attribute('innerHTML')
        assert not nombre2.find_elements(By.XPATH, './*')
        sin_alerta(d)

        # B's weight changes: the page shows it as it comes.
        b.orden('peso 1 4321')
        espera(d, lambda: parte(d, b.id, 1, 'peso') == '4321 kg', 120, 'el peso nuevo de B en su tesela 1',
               lambda: parte(d, b.id, 1, 'peso'))
        assert parte(d, b.id, 2, 'peso') == '2000 kg'
        captura(d, 'planta.png')

        # The monitor's API says the same, with the session only, to a GET only.
        sesion = [c for c in d.get_cookies() if c['name'] == 'tolvex_sesion']
        assert sesion, d.get_cookies()
        cookie = 'tolvex_sesion=' + sesion[0]['value']

        def api():
            estado, _, cuerpo = pide(a.web + 'api/planta', cookie=cookie)
            assert estado == 200, (estado, cuerpo)
            return json.loads(cuerpo)
        m = api()
        assert m['puesto'] == a.id and m['compartida'] is True, m
        assert [(p['puesto'], p['propio'], p['vigente']) for p in m['puestos']] == \
            [(a.id, True, True), (b.id, False, True)], m['puestos']
        assert [p['puesto'] for p in m['puestos']] == [s[0] for s in grupos()]
        lineas_b = m['puestos'][1]['lineas']
        assert [(l['linea'], l['nombre']) for l in lineas_b] == [(1, 'Tolva A'), (2, NOMBRE2), (3, 'Tolva C')], lineas_b
        assert lineas_b[0]['peso'] == 4321, lineas_b[0]
        assert (m['puestos'][0]['nombre'], m['puestos'][1]['nombre']) == (a.id, NOMBRE_B), m['puestos']
        # Moments with their offset from UTC.
        assert re.search(r'([+-]\d\d:\d\d|Z)$', lineas_b[0]['instante']), lineas_b[0]['instante']
        assert [l['linea'] for l in m['puestos'][0]['lineas']] == [1, 2]
        for camino in ('api/estado', 'api/planta'):
            estado, _, cuerpo = pide(a.web + camino)
            assert estado == 401 and 'error' in json.loads(cuerpo), (camino, estado, cuerpo)
        for c in (cookie, None):
            estado, cabeceras, _ = pide(a.web + 'api/planta', 'POST', c)
            assert estado == 405 and cabeceras.get('Allow') == 'GET', (estado, dict(cabeceras))

        # A station closed, at B and at A: its tile says so, not a link failure;
        # the workstation and its other lines stay live.
        b.orden('cierra 2')
        a.orden('cierra 1')
        for p, n in ((b, 2), (a, 1)):
            espera(d, lambda: (parte(d, p.id, n, 'vigencia'), parte(d, p.id, n, 'marcha')) ==
                   ('Estación cerrada', 'Cerrada'), 120, 'la línea %d de %s cerrada' % (n, p.id),
                   lambda: teselas(d, p.id))
            t = d.find_element(By.CSS_SELECTOR, '.tesela[data-puesto="%s"][data-linea="%d"]' % (p.id, n))
            assert 'viejo' in clases(t), clases(t)
            assert parte(d, p.id, n, 'error') == '', parte(d, p.id, n, 'error')
        assert 'viejo' not in clases(seccion(d, b.id))
        assert [(t[0], t[5]) for t in teselas(d, b.id)] == [('1', 'En línea'), ('2', 'Estación cerrada'),
                                                            ('3', 'En línea')], teselas(d, b.id)
        captura(d, 'planta-cerrada.png')

        # B killed: its group and tiles turn stale, with when it was last heard
        # of and what it last said; A's stay live.
        b.mata()
        espera(d, lambda: 'viejo' in clases(seccion(d, b.id)) and
               re.fullmatch(VISTO, seccion(d, b.id).find_element(By.CSS_SELECTOR, '.puesto-visto').text),
               120, 'el grupo de B sin noticias', lambda: seccion(d, b.id).text)
        # (since when is said once, in the group's heading)
        espera(d, lambda: [(t[1], t[5]) for t in teselas(d, b.id)] == [('tesela viejo', 'Sin noticias')] * 3, 120,
               'las teselas de B sin noticias', lambda: teselas(d, b.id))
        assert [(t[0], t[2], t[3]) for t in teselas(d, b.id)] == \
            [('1', 'Tolva A', '4321 kg'), ('2', NOMBRE2, '2000 kg'), ('3', 'Tolva C', '3000 kg')], teselas(d, b.id)
        assert 'viejo' not in clases(seccion(d, a.id))
        assert [(t[1], t[5]) for t in teselas(d, a.id)] == [('tesela viejo', 'Estación cerrada'),
                                                            ('tesela vivo', 'En línea')], teselas(d, a.id)
        assert texto(d, 'vigencia') == 'En línea'
        m = api()
        assert [(p['puesto'], p['vigente']) for p in m['puestos']] == [(a.id, True), (b.id, False)], m['puestos']
        captura(d, 'planta-vieja.png')

        # B again on its directory: the same workstation, the same group, live.
        grupo_b = seccion(d, b.id)
        b.termina()
        b = Puesto(planta, dir_b, cs, 3, False, err_b)
        b.arranca()
        assert b.id == grupo_b.get_attribute('data-puesto'), b.id
        espera(d, lambda: 'viejo' not in clases(grupo_b) and
               [t[:4] + t[5:] for t in teselas(d, b.id)] == vivas_b, 120, 'B en línea otra vez',
               lambda: (grupo_b.get_attribute('class'), teselas(d, b.id)))
        assert grupo_b.find_element(By.CSS_SELECTOR, '.puesto-visto').text == ''
        b.orden('peso 3 777')
        espera(d, lambda: parte(d, b.id, 3, 'peso') == '777 kg', 120, 'el peso nuevo de B en su tesela 3',
               lambda: parte(d, b.id, 3, 'peso'))
        assert len(d.find_elements(By.CSS_SELECTOR, '#planta > section.puesto')) == 2
        assert d.execute_script('return window.sinRecargar') == 1, 'la página se cargó otra vez'
        sin_alerta(d)

        # The session ends in another tab: the open plant page goes to the sign-in.
        planta = d.current_window_handle
        d.switch_to.new_window('tab')
        d.get(a.web + 'planta')
        navega(d, d.find_element(By.ID, 'salir').click)
        d.close()
        d.switch_to.window(planta)
        espera(d, lambda: d.current_url.endswith('/ingreso'), 120, 'la página de la planta en el ingreso',
               lambda: d.current_url)
        bien = True
        print('web_planta: bien (A %s, B %s)' % (a.id, b.id))
        return 0
    finally:
        if d:
            d.quit()
        for p in (a, b):
            if p:
                p.termina()
        if not bien:
            for nombre in (err_a, err_b):
                if os.path.exists(nombre):
                    with open(nombre, encoding='utf-8', errors='replace') as f:
                        print('--- %s:\n%s' % (os.path.basename(nombre), f.read()[-3000:]))
        shutil.rmtree(tmp, ignore_errors=True)
        try:
            psql(cs0, 'DROP DATABASE IF EXISTS %s WITH (FORCE)' % base)
        except AssertionError as e:
            print(e)


if __name__ == '__main__':
    sys.exit(main())
