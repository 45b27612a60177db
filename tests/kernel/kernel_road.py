#!/usr/bin/env python3
"""The real road: the tool against the simulated unit through a Linux kernel's
own USB, HID and udev. A QEMU guest (software emulation) runs Debian's kernel,
whose dummy_hcd joins a USB host controller to a device controller; the unit
(kv93t-gadget) is a configfs HID gadget on it, a real USB device to the
guest's usbhid and hidraw. The guest's root is the host's, read-only over
virtio-9p with a tmpfs on top, so the binaries built here run there as they are.

  kernel_road.py prepare CACHE                fetch and build what every guest needs
  kernel_road.py run SCENARIO CACHE OUT ...   one scenario of the table below

A scenario passes when the unit's verdict, each run's exit code, its JSON end
object and its trace are what the table says. A failing one prints the tail of
the guest's serial log, the verdict and the last trace lines."""
import argparse
import glob
import json
import lzma
import os
import re
import selectors
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

# The guest's modules, by name (their files move with Debian's ABI number);
# what they depend on is added from each module's own modinfo.
MODULES = ['virtio_pci', '9pnet_virtio', '9p', 'overlay', 'dummy_hcd', 'libcomposite', 'usb_f_hid',
           'usbhid', 'hid_generic']
BOOT_LIMIT_S = 60          # qemu start to the scenario's first step
HERE = os.path.dirname(os.path.abspath(__file__))


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------- prepare
def sh(*command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def fetch_debs(cache):
    """Debian's kernel image and udev, downloaded and unpacked, never installed."""
    debs = os.path.join(cache, 'debs')
    os.makedirs(debs, exist_ok=True)
    if not glob.glob(os.path.join(debs, 'linux-image-*.deb')):
        depends = subprocess.run(['apt-cache', 'depends', 'linux-image-amd64'], check=True,
                                 capture_output=True, text=True).stdout
        image = re.search(r'Depends: (linux-image-\S+)', depends).group(1)
        sh('apt-get', 'download', image, 'udev', cwd=debs, stderr=subprocess.DEVNULL)
    return glob.glob(os.path.join(debs, 'linux-image-*.deb'))[0], glob.glob(
        os.path.join(debs, 'udev_*.deb'))[0]


def extract_vmlinux(vmlinuz, out):
    """The ELF kernel out of the compressed bzImage: QEMU boots it through its
    PVH entry, sparing the guest an XZ unpacking that takes seconds under TCG."""
    data = open(vmlinuz, 'rb').read()
    offset = data.find(b'\xfd7zXZ\x00')
    image = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[offset:])
    if image[:4] != b'\x7fELF':
        raise SystemExit('%s holds no XZ-compressed ELF kernel' % vmlinuz)
    open(out, 'wb').write(image)


def modinfo_depends(path):
    """The depends= field of a module's .modinfo section (ELF64, little-endian)."""
    data = open(path, 'rb').read()
    shoff, = struct.unpack_from('<Q', data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from('<HHH', data, 0x3A)
    def section(i):
        name, _, _, _, offset, size = struct.unpack_from('<IIQQQQ', data, shoff + i * shentsize)
        return name, offset, size
    _, names_at, _ = section(shstrndx)
    for i in range(shnum):
        name, offset, size = section(i)
        if data[names_at + name:data.index(b'\0', names_at + name)] == b'.modinfo':
            for entry in data[offset:offset + size].split(b'\0'):
                if entry.startswith(b'depends='):
                    return [d.replace('-', '_') for d in entry[8:].decode().split(',') if d]
    return []


def modules_in_load_order(moddir):
    files = {}
    for root, _, names in os.walk(moddir):
        for name in names:
            if name.endswith('.ko'):
                files[name[:-3].replace('-', '_')] = os.path.join(root, name)
    order, seen = [], set()
    def visit(name):
        if name in seen:
            return
        seen.add(name)
        if name not in files:
            return  # built into the kernel
        for dependency in modinfo_depends(files[name]):
            visit(dependency)
        order.append(files[name])
    for name in MODULES:
        visit(name)
    missing = [m for m in MODULES if m not in files]
    if missing:
        raise SystemExit('modules not found: ' + ' '.join(missing))
    return order


def write_initramfs(out, modules, init):
    """An uncompressed newc archive: busybox, the modules in load order, /init."""
    entries = []
    for directory in ['bin', 'dev', 'proc', 'sys', 'tmp', 'lib', 'lib/modules']:
        entries.append((directory, stat.S_IFDIR | 0o755, b''))
    entries.append(('bin/busybox', stat.S_IFREG | 0o755, open('/bin/busybox', 'rb').read()))
    entries.append(('bin/sh', stat.S_IFLNK | 0o777, b'busybox'))
    names = []
    for path in modules:
        names.append(os.path.basename(path))
        entries.append(('lib/modules/' + names[-1], stat.S_IFREG | 0o644, open(path, 'rb').read()))
    entries.append(('modlist', stat.S_IFREG | 0o644, ('\n'.join(names) + '\n').encode()))
    entries.append(('init', stat.S_IFREG | 0o755, open(init, 'rb').read()))
    def pad(block):
        return block + b'\0' * (-len(block) % 4)
    archive = bytearray()
    for inode, (name, mode, data) in enumerate(entries + [('TRAILER!!!', 0, b'')], start=1):
        name_bytes = name.encode() + b'\0'
        fields = [inode, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_bytes), 0]
        archive += pad(b'070701' + ''.join('%08X' % v for v in fields).encode() + name_bytes)
        archive += pad(data)
    open(out, 'wb').write(archive)


def make_wine_prefix(prefix):
    """A prefix made here and used by the guest through its writable overlay.
    Debian's winebus starts its hidraw bus only with its SDL bus off; with no
    window manager in the guest, wine draws the frames itself."""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
    env.pop('DISPLAY', None)
    run = lambda *c: subprocess.run(c, env=env, check=True, timeout=300,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run('wineboot', '-i')
    run('wine', 'reg', 'add', r'HKLM\System\CurrentControlSet\Services\winebus', '/v',
        'Enable SDL', '/t', 'REG_DWORD', '/d', '0', '/f')
    for value in ('Managed', 'Decorated'):
        run('wine', 'reg', 'add', r'HKCU\Software\Wine\X11 Driver', '/v', value, '/d', 'N', '/f')
    run('wineserver', '-w')
    for font in glob.glob('/usr/share/wine/fonts/*.ttf'):
        target = os.path.join(prefix, 'drive_c/windows/Fonts', os.path.basename(font))
        if not os.path.exists(target):
            shutil.copy(font, target)


def prepare(cache):
    started = time.monotonic()
    os.makedirs(cache, exist_ok=True)
    image_deb, udev_deb = fetch_debs(cache)
    stamp = os.path.join(cache, 'prepared')
    wanted = '%s %s %s\n' % (os.path.basename(image_deb), os.path.basename(udev_deb),
                             os.path.getmtime(os.path.join(HERE, 'guest/init')))
    if not os.path.exists(stamp) or open(stamp).read() != wanted:
        with tempfile.TemporaryDirectory(dir=cache) as unpacked:
            sh('dpkg-deb', '-x', image_deb, unpacked)
            extract_vmlinux(glob.glob(os.path.join(unpacked, 'boot/vmlinuz-*'))[0],
                            os.path.join(cache, 'vmlinux'))
            moddir = glob.glob(os.path.join(unpacked, 'lib/modules/*'))[0]
            write_initramfs(os.path.join(cache, 'initramfs.cpio'), modules_in_load_order(moddir),
                            os.path.join(HERE, 'guest/init'))
        udevroot = os.path.join(cache, 'udevroot')
        shutil.rmtree(udevroot, ignore_errors=True)
        sh('dpkg-deb', '-x', udev_deb, udevroot)
        open(stamp, 'w').write(wanted)
    prefix = os.path.join(cache, 'wineprefix')
    if shutil.which('wine') and not os.path.exists(os.path.join(prefix, 'system.reg')):
        make_wine_prefix(prefix)
    log('prepared in %s (%.1f s)' % (cache, time.monotonic() - started))


# ---------------------------------------------------------------- scenarios
# Guest steps (shell, with stage2.sh's helpers) and what must hold afterwards.
#   runs: NAME -> (exit code, JSON end result); every run's JSON must end with that object
#   unit: the last line of the unit's verdict (of every unit's) must start with it
#   units: how many units (dummy_hcd controllers, one gadget each), 1 unless given
#   summary: NAME -> units, for an --all run: its JSON ends with a summary of that
#     many units, all with the run's result, after one end object per unit, each of
#     a port of its own, and one trace per port
#   holds / absent: (file in the results, regular expression)
NATIVE = '$KV_TOOL'
CLEAN_UPDATE = 'gadget: clean, both images in place'

SCENARIOS = {
    'update': dict(
        guest='''
unit_start && node_wait 0821 &&
run update -- %s --json --trace update.trace --timeout 60
''' % NATIVE,
        runs={'update': (0, 'updated')},
        unit=CLEAN_UPDATE,
        holds=[('update.json', r'"panel":"Detect Update HID"'), ('gadget.log', r'bound as 0168:0904'),
               ('gadget.log', r'bound as 0168:0821(.|\n)*bound as 0168:0904(.|\n)*bound as 0168:0821')],
        figures='update'),
    'plug_in_later': dict(
        guest='''
unit_start --sim start=absent --sim attach-ms=60000 &&
run later --background -- %s --json --trace later.trace --timeout 60 &&
json_wait later '"waiting"' 30 && unit_plug run && run_wait
''' % NATIVE,
        runs={'later': (0, 'updated')},
        unit=CLEAN_UPDATE,
        holds=[('later.json', r'"event":"waiting"')]),
    'unplug_mid_data': dict(
        guest='''
unit_start --sim fault=unplug@data:300 && node_wait 0821 &&
run first -- %s --json --trace first.trace --timeout 5 &&
unit_plug update && node_wait 0904 &&
run second -- %s --json --trace second.trace --timeout 60
''' % (NATIVE, NATIVE),
        runs={'first': (4, 'no-progress'), 'second': (0, 'updated')},
        unit=CLEAN_UPDATE,
        holds=[('first.json', r'the unit was left in update mode with 16,904 of 67,324 bytes'),
               ('first.json', r'running kv93t-update again finishes the update')]),
    'access': dict(
        guest='''
rm -f /var/lib/man-db/auto-update  # no manual page index rebuilt under emulation
dpkg -i $KV_DEB/kv93t-update_*_amd64.deb >$OUT/dpkg.log 2>&1 || say "dpkg -i failed"
useradd -M -G plugdev kvuser && useradd -M kvother &&
unit_start && node_wait 0821 &&
stat -c '%a %G' $(unit_node 0821) >$OUT/node-mode.txt &&
run outsider --user kvother -- /usr/bin/kv93t-update --list &&
run member --user kvuser -- /usr/bin/kv93t-update --json --trace member.trace --timeout 60
''',
        runs={'member': (0, 'updated'), 'outsider': (4, None)},
        unit=CLEAN_UPDATE,
        holds=[('node-mode.txt', r'^660 plugdev$'), ('outsider.json', r'no access'),
               ('outsider.json', r'the udev rule /\S*/70-kv93t\.rules is installed'),
               ('outsider.json', r'add this user to plugdev')]),
    'list_check': dict(
        guest='''
unit_start && node_wait 0821 &&
run list -- %s --list &&
run check -- %s --check --json --timeout 30
''' % (NATIVE, NATIVE),
        runs={'list': (0, None), 'check': (0, 'would-update')},
        unit='gadget: clean, images not both in place',
        holds=[('list.json', r'KV-93T run mode'), ('list.json', r'read-write'),
               ('check.json', r'"version_text":"KV-93T  012"')]),
    'three_units': dict(
        units=3,
        guest='''
units_start 3 && nodes_wait 0821 3 &&
run all -- %s --all --json --trace all.trace --timeout 120
''' % NATIVE,
        runs={'all': (0, 'updated')},
        summary={'all': 3},
        unit=CLEAN_UPDATE,
        holds=[('gadget.%d.log' % i, r'bound as 0168:0821(.|\n)*bound as 0168:0904(.|\n)*'
                r'bound as 0168:0821') for i in range(3)]),
    'wine_cli': dict(
        guest='''
unit_start && node_wait 0821 &&
wine_up null && run wine -- wine $KV_WIN64/app/kv93t-update.exe --json --trace wine.trace --timeout 60
''',
        runs={'wine': (0, 'updated')},
        unit=CLEAN_UPDATE,
        figures='wine'),
    'wine_gui': dict(
        guest='''
unit_start && node_wait 0821 && run gui -- sh $KV_SOURCE/tests/kernel/guest/gui.sh
''',
        runs={'gui': (0, None)},
        unit=CLEAN_UPDATE,
        # The probe's line for the " Program OK !! " box it waited for; the screenshot is kept.
        holds=[('gui.json', r'^box .* symbol information caption Update KV-93T'),
               ('window.png', r'PNG')]),
}


# ---------------------------------------------------------------- run and judge
def boot(cache, out, scenario_limit, units):
    """Runs one guest; its serial lines, stamped with seconds since qemu started,
    go to serial.log. Ends qemu (its own pid only) when the scenario overruns."""
    command = [
        'qemu-system-x86_64', '-machine', 'pc,accel=tcg', '-cpu', 'max,-smap', '-smp', '1',
        '-m', '1024', '-nodefaults', '-display', 'none', '-serial', 'stdio', '-no-reboot',
        '-kernel', os.path.join(cache, 'vmlinux'), '-initrd', os.path.join(cache, 'initramfs.cpio'),
        '-append', 'console=ttyS0 quiet panic=-1 kvroad.units=%d kvroad.stage2=%s' %
        (units, os.path.join(HERE, 'guest/stage2.sh')),
        '-virtfs', 'local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap',
        '-virtfs', 'local,path=%s,mount_tag=kvout,security_model=none,multidevs=remap' % out]
    # -cpu max without smap: with it, every Windows process dies in a guest
    # kernel oops under TCG.
    serial = open(os.path.join(out, 'serial.log'), 'w', buffering=1)
    started = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    os.set_blocking(qemu.stdout.fileno(), False)
    watch = selectors.DefaultSelector()
    watch.register(qemu.stdout, selectors.EVENT_READ)
    pending = b''
    limit = BOOT_LIMIT_S + scenario_limit
    while qemu.poll() is None:
        if time.monotonic() - started > limit:
            serial.write('[%8.3f] the guest overran %d s: qemu ended\n' % (limit, limit))
            qemu.kill()
            break
        watch.select(timeout=0.5)
        chunk = qemu.stdout.read() or b''
        pending += chunk
        while b'\n' in pending:
            line, pending = pending.split(b'\n', 1)
            serial.write('[%8.3f] %s\n' % (time.monotonic() - started,
                                           line.decode(errors='replace').rstrip('\r')))
    qemu.wait()
    rest = (pending + (qemu.stdout.read() or b'')).decode(errors='replace')
    if rest:
        serial.write('[%8.3f] %s\n' % (time.monotonic() - started, rest))
    serial.close()
    return time.monotonic() - started


def read(out, name):
    try:
        return open(os.path.join(out, name), errors='replace').read()
    except OSError:
        return ''


def end_object(text):
    lines = [line for line in text.splitlines() if line.startswith('{')]
    try:
        last = json.loads(lines[-1]) if lines else {}
    except ValueError:
        return {}
    return last if last.get('event') == 'end' else {}


def json_objects(text):
    objects = []
    for line in text.splitlines():
        try:
            objects.append(json.loads(line))
        except ValueError:
            pass
    return objects


def verdict_files(scenario):
    units = scenario.get('units', 1)
    return ['verdict.txt'] if units == 1 else ['verdict.%d.txt' % i for i in range(units)]


def judge_all(run, code, result, units, out, failures):
    """An --all run: one end object per unit, each of a port no other has, each
    with the run's outcome, then the summary counting them all. Returns the ports."""
    objects = json_objects(read(out, run + '.json'))
    summary = objects[-1] if objects else {}
    if (summary.get('event') != 'summary' or summary.get('units') != units or
            summary.get('updated') != units or summary.get('failed') != 0 or
            summary.get('exit_code') != code or summary.get('result') != result):
        failures.append('%s: last object %s, expected a summary of %d units, all %r' %
                        (run, summary, units, result))
    ends = [o for o in objects if o.get('event') == 'end']
    ports = [o.get('unit') for o in ends]
    if len(ends) != units or None in ports or len(set(ports)) != units:
        failures.append('%s: end objects of units %s, expected %d of ports of their own' %
                        (run, ports, units))
    for end in ends:
        if end.get('result') != result or end.get('exit_code') != code:
            failures.append('%s: end object %s, expected result %r' % (run, end, result))
    listed = sorted(r.get('unit') for r in summary.get('results', []) if isinstance(r, dict))
    if listed != sorted(p for p in ports if p is not None):
        failures.append('%s: the summary lists units %s, the end objects %s' % (run, listed, ports))
    for port in ports:
        if port is not None and not read(out, '%s.%s.trace' % (run, port)):
            failures.append('%s: no trace %s.%s.trace' % (run, run, port))
    return ports


def judge(scenario, out):
    failures = []
    if read(out, 'scenario.rc').strip() != '0':
        failures.append('the guest scenario ended with %r' % read(out, 'scenario.rc').strip())
    for run, (code, result) in scenario['runs'].items():
        got = read(out, run + '.rc').strip()
        if got != str(code):
            failures.append('%s: exit code %s, expected %d' % (run, got or 'none', code))
        ports = []
        if run in scenario.get('summary', {}):
            ports = judge_all(run, code, result, scenario['summary'][run], out, failures)
            log('%s: units %s' % (run, ', '.join(str(p) for p in ports)))
        elif result is not None:
            end = end_object(read(out, run + '.json'))
            if end.get('result') != result or end.get('exit_code') != code:
                failures.append('%s: end object %s, expected result %r' % (run, end, result))
        files = [run + suffix for suffix in ('.json', '.err', '.trace')]
        files += ['%s.%s.trace' % (run, port) for port in ports if port is not None]
        for file in files:
            if 'READ ERROR' in read(out, file):
                failures.append('%s holds "READ ERROR"' % file)
    for file in verdict_files(scenario):
        verdict = read(out, file).strip().splitlines()
        if not verdict or not verdict[-1].startswith(scenario['unit']):
            failures.append('%s: %r, expected %r' % (
                'unit' if file == 'verdict.txt' else file[:-4], verdict[-1] if verdict else
                'no verdict', scenario['unit']))
    for file, pattern in scenario.get('holds', []):
        if not re.search(pattern, read(out, file), re.M):
            failures.append('%s does not hold /%s/' % (file, pattern))
    return failures


def report_failure(out, failures, scenario):
    log('FAILED:\n  ' + '\n  '.join(failures))
    log('--- serial log (last 40 lines)')
    log('\n'.join(read(out, 'serial.log').splitlines()[-40:]))
    for verdict in verdict_files(scenario):
        gadget_log = verdict.replace('verdict', 'gadget')[:-4] + '.log'
        log('--- %s\n' % ('unit' if verdict == 'verdict.txt' else verdict[:-4]) +
            read(out, verdict) + '\n'.join(read(out, gadget_log).splitlines()[-15:]))
    for run in scenario['runs']:
        traces = sorted(os.path.basename(t)[len(run):]
                        for t in glob.glob(os.path.join(out, run + '.*.trace')))
        for suffix, count in [('.err', 10), ('.json', 5), ('.trace', 8)] + [(t, 8) for t in traces]:
            text = read(out, run + suffix).splitlines()[-count:]
            if text:
                log('--- %s%s (last %d lines)\n%s' % (run, suffix, count, '\n'.join(text)))


def phase_figures(out, run):
    """Benchmark figures from the JSON objects' times (printed, never asserted):
    the unit's two re-enumerations as the tool saw them and each phase."""
    marks = {}
    for line in read(out, run + '.json').splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            continue
        t, panel, step = event.get('time'), event.get('panel'), event.get('step', '')
        def first(key, holds):
            if holds and key not in marks:
                marks[key] = t
        first('press', event.get('event') == 'note' and 'Start Program' in event.get('text', ''))
        first('run_gone', 'press' in marks and panel == 'No Device')
        first('update_found', panel == 'Detect Update HID')
        first('connect', step == 'Connect')
        first('reset', step == 'MCU Reset')
        first('update_gone', 'reset' in marks and panel == 'No Device')
        first('run_back', 'update_gone' in marks and panel == 'Detect Run HID')
        first('dsp', step.startswith('Dsp Program'))
        first('ok', event.get('event') == 'message')
    if len(marks) < 9:
        log('figures %s: incomplete (%s)' % (run, ', '.join(sorted(marks))))
        return
    span = lambda a, b: marks[b] - marks[a]
    log('figures %s: to update mode %.2f s (run mode gone %.2f s after the press, update mode found '
        '%.2f s later); microcontroller, connect to MCU Reset %.2f s; back in run mode %.2f s '
        '(gone %.2f s, found %.2f s later); parameter data %.2f s; DSP download %.2f s; '
        'press to " Program OK !! " %.2f s' %
        (run, span('press', 'connect'), span('press', 'run_gone'), span('run_gone', 'update_found'),
         span('connect', 'reset'), span('reset', 'run_back'), span('reset', 'update_gone'),
         span('update_gone', 'run_back'), span('run_back', 'dsp'), span('dsp', 'ok'),
         span('press', 'ok')))


def run_scenario(name, cache, out, tool, win64, deb, limit):
    scenario = SCENARIOS[name]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    source = os.path.dirname(os.path.dirname(HERE))
    with open(os.path.join(out, 'env.sh'), 'w') as env:
        env.write('export KV_CACHE=%s KV_SOURCE=%s KV_TOOL=%s KV_GADGET=%s KV_WIN64=%s KV_DEB=%s\n' %
                  (cache, source, tool, os.path.join(os.path.dirname(os.path.dirname(tool)),
                                                     'sim/gadget/kv93t-gadget'), win64, deb))
    open(os.path.join(out, 'scenario.sh'), 'w').write(scenario['guest'])
    took = boot(cache, out, limit, scenario.get('units', 1))
    log('%s: the guest ran %.1f s' % (name, took))
    failures = judge(scenario, out)
    if failures:
        report_failure(out, failures, scenario)
        return 1
    if 'figures' in scenario:
        phase_figures(out, scenario['figures'])
    log('passed: ' + name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('command', choices=['prepare', 'run'])
    parser.add_argument('args', nargs='*')
    parser.add_argument('--tool', help='the native command line, from the build tree')
    parser.add_argument('--win64', default='', help='the win64 build tree')
    parser.add_argument('--deb', default='', help='the folder of the Debian package')
    parser.add_argument('--limit', type=int, default=300, help='seconds for the scenario')
    options = parser.parse_args()
    if options.command == 'prepare':
        prepare(os.path.abspath(options.args[0]))
        return 0
    name, cache, out = (os.path.abspath(a) if i else a for i, a in enumerate(options.args))
    return run_scenario(name, cache, out, options.tool, options.win64, options.deb, options.limit)


if __name__ == '__main__':
    sys.exit(main())
