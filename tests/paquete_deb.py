#!/usr/bin/env python3
"""The Debian package as a plant's IT gets it.

cpack over the already-built tree makes tolvex_VERSION_ARCH.deb in a scratch
folder; dpkg-deb says what it declares and what it holds; dpkg -x unpacks it
in the scratch folder (nothing is installed on the system), and the unpacked
tolvex-setup prepares a program directory whose indicator the unpacked
tolvex-diag reads from the unpacked tolvex-sim.

    paquete_deb.py BUILD_DIR VERSION
Exit 77 (skipped) only when cpack, dpkg-deb or dpkg-shlibdeps is missing.
"""
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

PROGRAMAS = ['tolvex', 'tolvex-inicio', 'tolvex-setup', 'tolvex-diag', 'tolvex-report', 'tolvex-registro',
             'tolvex-sim']
# Loaded by Qt at run time, so dpkg-shlibdeps cannot find them.
PLUGINS = ['libqt6sql6-sqlite', 'libqt6sql6-psql', 'qt6-qpa-plugins', 'fonts-dejavu-core',
           'qt6-translations-l10n']
# Linked by the programs: found by dpkg-shlibdeps.
ENLAZADAS = ['libc6', 'libqt6core6', 'libqt6widgets6', 'libqt6serialport6', 'libqt6printsupport6',
             'libqt6httpserver6', 'libqt6websockets6', 'libzip4', 'libmdb3']


def corre(args, **kw):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600, **kw)
    assert p.returncode == 0, '%s: %d\n%s\n%s' % (' '.join(args), p.returncode, p.stdout, p.stderr)
    return p.stdout


def campos(info):
    """The control fields of dpkg-deb --info (continuation lines dropped)."""
    return dict(m.groups() for m in re.finditer(r'^ ([A-Za-z-]+): (.*)$', info, re.M))


def paquetes(depends):
    """Package names of a Depends field, alternatives and versions dropped."""
    return {re.split(r'[ (]', alt.strip())[0] for d in depends.split(',') for alt in d.split('|')}


def main():
    for programa in ('cpack', 'dpkg-deb', 'dpkg-shlibdeps'):
        if not shutil.which(programa):
            print('SKIP: falta %s (paquetes cmake, dpkg-dev)' % programa)
            return 77
    build, version = sys.argv[1], sys.argv[2]
    tmp = tempfile.mkdtemp(prefix='tolvex-paquete-')
    sim = None
    try:
        corre(['cpack', '-G', 'DEB', '--config', os.path.join(build, 'CPackConfig.cmake'),
               '-B', os.path.join(tmp, 'cpack')])
        arq = corre(['dpkg', '--print-architecture']).strip()
        deb = os.path.join(tmp, 'cpack', 'tolvex_%s_%s.deb' % (version, arq))
        assert os.path.exists(deb), os.listdir(os.path.join(tmp, 'cpack'))

        # What it declares.
        info = campos(corre(['dpkg-deb', '--info', deb]))
        assert (info.get('Package'), info.get('Version'), info.get('Architecture')) == ('tolvex', version, arq), info
        depende = paquetes(info.get('Depends', ''))
        faltan = [p for p in PLUGINS + ENLAZADAS if p not in depende]
        assert not faltan, 'Depends sin %s: %s' % (faltan, info.get('Depends'))
        # The older plant's template is converted with LibreOffice when it is
        # there: suggested, never a dependency.
        assert not [p for p in depende if p.startswith('libreoffice')], info.get('Depends')
        assert 'libreoffice-calc-nogui' in paquetes(info.get('Suggests', '')), info.get('Suggests')

        # What it holds: the programs and nothing else in bin, all under /usr.
        contenido = {}
        for linea in corre(['dpkg-deb', '--contents', deb]).splitlines():
            permisos, dueno, _, _, _, ruta = linea.split(None, 5)
            contenido[ruta.split(' -> ')[0]] = (permisos, dueno)
        fuera = [r for r in contenido if not r.startswith('./usr/')]
        assert not fuera, 'fuera de /usr: %s' % fuera
        en_bin = sorted(r[len('./usr/bin/'):] for r in contenido if r.startswith('./usr/bin/') and r != './usr/bin/')
        assert en_bin == sorted(PROGRAMAS), en_bin
        for p in PROGRAMAS:
            assert contenido['./usr/bin/' + p] == ('-rwxr-xr-x', 'root/root'), (p, contenido['./usr/bin/' + p])
        doc = './usr/share/doc/tolvex/'
        for r in ['./usr/share/applications/tolvex.desktop', './usr/share/icons/hicolor/96x96/apps/tolvex.png',
                  doc + 'manual.html', doc + 'copyright', doc + 'changelog.gz']:
            assert r in contenido, 'falta ' + r
        unidad = './usr/lib/systemd/system/tolvex-registro@.service'
        assert contenido.get(unidad) == ('-rw-r--r--', 'root/root'), (unidad, contenido.get(unidad))

        # Unpacked beside the test, never installed.
        raiz = os.path.join(tmp, 'raiz')
        corre(['dpkg', '-x', deb, raiz])
        usr = os.path.join(raiz, 'usr')
        with open(os.path.join(usr, 'share/doc/tolvex/manual.html'), encoding='utf-8') as f:
            fotos = set(re.findall(r'<img[^>]* src="([^"]+)"', f.read()))
        assert fotos, 'el manual no tiene imágenes'
        faltan = [f for f in fotos if doc + f not in contenido]
        assert not faltan, 'imágenes del manual que no están: %s' % faltan
        with gzip.open(os.path.join(usr, 'share/doc/tolvex/changelog.gz'), 'rt', encoding='utf-8') as f:
            primera = f.readline()
        assert primera.startswith('tolvex (%s) ' % version), primera
        with open(os.path.join(usr, 'share/applications/tolvex.desktop'), encoding='utf-8') as f:
            entrada = dict(l.rstrip('\n').split('=', 1) for l in f if '=' in l)
        assert (entrada['Exec'], entrada['Icon']) == ('tolvex-inicio', 'tolvex'), entrada

        # The unpacked programs at work: a program directory prepared for the
        # simulated indicator, which the diagnostic then reads.
        env = dict(os.environ, HOME=tmp, XDG_CONFIG_HOME=os.path.join(tmp, 'config'), QT_QPA_PLATFORM='offscreen')
        ayuda = corre([os.path.join(usr, 'bin/tolvex-diag'), '--help'], env=env)
        assert ayuda.startswith('uso: tolvex-diag'), ayuda
        sim = subprocess.Popen([os.path.join(usr, 'bin/tolvex-sim'), '--tcp', '0'], stdout=subprocess.PIPE,
                               text=True, env=env)
        puerto = sim.stdout.readline().split()
        assert puerto[:1] == ['port'], 'tolvex-sim no escucha: %r' % puerto
        planta = os.path.join(tmp, 'planta')
        corre([os.path.join(usr, 'bin/tolvex-setup'), planta, '--tcp', '127.0.0.1:' + puerto[1], '--id', '1'], env=env)
        for f in ('Tolvex.ini', 'data.db', 'REPORTE.xlsx', 'tolvex'):
            assert os.path.exists(os.path.join(planta, f)), 'tolvex-setup no creó ' + f
        with open(os.path.join(planta, 'tolvex'), encoding='utf-8') as f:
            lanzador = f.read()
        assert os.path.join(usr, 'bin/tolvex') in lanzador, lanzador
        lectura = corre([os.path.join(usr, 'bin/tolvex-diag'), 'read'], cwd=planta, env=env)
        assert re.search(r'^\s*UlTotal\b', lectura, re.M), lectura
        print('paquete_deb: bien (%s, %d archivos, %d imágenes del manual)'
              % (os.path.basename(deb), len(contenido), len(fotos)))
        return 0
    finally:
        if sim:
            sim.terminate()
            sim.wait(60)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
