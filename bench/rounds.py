#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Builds of `tamarind2-cli reduce` against the codec floor, djpeg's decode
and the exact box-filter reducers of other programs, photo by photo.

    bench/rounds.py [--rounds N] [--peers] CLI... [-- PHOTO...]

Without photos it takes the bench photos: every JPEG of 4 to 24 MP under
/usr/share/backgrounds and /usr/share/wallpapers (symbolic links skipped),
as bench/photos.h chooses them.

Each round takes every photo in turn and runs, one process at a time and in
an order that turns each round (so that the machine's other work falls on
all alike), on a copy in /dev/shm:
  djpeg   djpeg -dct int -outfile /dev/null (-colors 236 for a grey source,
          which the conversion decodes quantized)
  cjpeg   cjpeg -quality 50 of the first CLI's result as a PPM, -progressive
          for a progressive source (the result is progressive too) and
          -baseline otherwise: with djpeg, the codec floor
  each CLI   CLI reduce --quality 50 PHOTO (a CLI given as VAR=VALUE@/path
          runs with that variable set)
  with --peers: ImageMagick (convert -filter box -resize 960x720), Graphics-
          Magick (gm convert -filter box -resize 960x720) and vips resize to
          the same box, each writing a JPEG of quality 50.
Prints, per photo, median wall and CPU (user + system) milliseconds and the
peak resident memory; then the ratios of the first CLI to the floor, to
djpeg and to the fastest peer, and of every other CLI to the first, as
medians over the photos and over the progressive ones, with the photos
where a bar is missed. The load average is printed before and after.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

QUALITY = '50'


def scan_facts(path):
    """(width, height, progressive, grey) from the frame header."""
    data = open(path, 'rb').read()
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            i += 1
            continue
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        length = data[i + 2] << 8 | data[i + 3]
        if marker in (0xC0, 0xC1, 0xC2):
            h = data[i + 5] << 8 | data[i + 6]
            w = data[i + 7] << 8 | data[i + 8]
            return w, h, marker == 0xC2, data[i + 9] == 1
        i += 2 + length
    return 0, 0, False, False


def bench_photos():
    found = []
    for folder in ('/usr/share/backgrounds', '/usr/share/wallpapers'):
        for root, _, names in os.walk(folder):
            for name in names:
                path = os.path.join(root, name)
                if not name.endswith('.jpg') or os.path.islink(path) or not os.path.isfile(path):
                    continue
                w, h, _, _ = scan_facts(path)
                if 4e6 <= w * h <= 24.5e6:
                    found.append(path)
    return sorted(found)


def run(argv, cwd, env=None):
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.chdir(cwd)
            if env:
                name, value = env.split('=', 1)
                os.environ[name] = value
            null = os.open('/dev/null', os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(null, 2)
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter() - start) * 1e3
    return wall, (usage.ru_utime + usage.ru_stime) * 1e3, usage.ru_maxrss / 1024.0, status


def load():
    return open('/proc/loadavg').read().split()[0]


def main():
    args = sys.argv[1:]
    rounds, peers = 3, False
    while args and args[0].startswith('--') and args[0] != '--':
        if args[0] == '--rounds':
            rounds = int(args[1])
            args = args[2:]
        elif args[0] == '--peers':
            peers = True
            args = args[1:]
        else:
            sys.exit(__doc__)
    sep = args.index('--') if '--' in args else len(args)
    clis = [(c.split('@', 1) if '@' in c else (None, c)) for c in args[:sep]]
    photos = args[sep + 1:] or bench_photos()
    if not clis or not photos:
        sys.exit(__doc__)
    work = tempfile.mkdtemp(dir='/dev/shm' if os.path.isdir('/dev/shm') else None)
    print('load average before: %s' % load(), flush=True)
    facts = [scan_facts(p) for p in photos]
    samples = {}
    try:
        # Each photo's folder: the copy, and the PPM of the first CLI's result.
        for i, photo in enumerate(photos):
            folder = os.path.join(work, str(i))
            os.makedirs(folder)
            shutil.copy(photo, os.path.join(folder, 'a.jpg'))
            env, cli = clis[0]
            subprocess.run([cli, 'reduce', '--quality', QUALITY, 'a.jpg'], cwd=folder, check=True,
                           stdout=subprocess.DEVNULL, env=dict(os.environ, **dict([env.split('=', 1)])) if env else None)
            with open(os.path.join(folder, 'r.ppm'), 'wb') as out:
                subprocess.run(['djpeg', '-pnm', 'a_x.jpg'], cwd=folder, check=True, stdout=out)
            os.unlink(os.path.join(folder, 'a_x.jpg'))
        for r in range(rounds):
            for i, photo in enumerate(photos):
                folder = os.path.join(work, str(i))
                w, h, progressive, grey = facts[i]
                tasks = [('djpeg', None, ['djpeg', '-dct', 'int'] + (['-colors', '236'] if grey else []) +
                          ['-outfile', '/dev/null', 'a.jpg']),
                         ('cjpeg', None, ['cjpeg', '-quality', QUALITY,
                                          '-progressive' if progressive else '-baseline', '-outfile', 'c.jpg',
                                          'r.ppm'])]
                for k, (env, cli) in enumerate(clis):
                    tasks.append((k, env, [cli, 'reduce', '--quality', QUALITY, 'a.jpg']))
                if peers:
                    scale = '%.9f' % min(960.0 / w, 720.0 / h)
                    tasks += [('ImageMagick', None, ['convert-im6.q16', 'a.jpg', '-filter', 'box', '-resize', '960x720',
                                                     '-quality', QUALITY, 'p.jpg']),
                              ('GraphicsMagick', None, ['gm', 'convert', 'a.jpg', '-filter', 'box', '-resize',
                                                        '960x720', '-quality', QUALITY, 'p.jpg']),
                              ('vips', None, ['vips', 'resize', 'a.jpg', 'p.jpg[Q=%s]' % QUALITY, scale])]
                turn = (r + i) % len(tasks)
                for name, env, argv in tasks[turn:] + tasks[:turn]:
                    for out in ('a_x.jpg', 'p.jpg', 'c.jpg'):
                        if os.path.exists(os.path.join(folder, out)):
                            os.unlink(os.path.join(folder, out))
                    wall, cpu, rss, status = run(argv, folder, env)
                    if status != 0:
                        print('%s failed on %s' % (argv[0], photo), file=sys.stderr)
                    samples.setdefault((i, name), []).append((wall, cpu, rss))
    finally:
        shutil.rmtree(work)
    print('load average after: %s' % load())

    def med(i, name, what):
        return statistics.median(s[what] for s in samples[(i, name)])

    names = ['djpeg', 'cjpeg'] + list(range(len(clis))) + (['ImageMagick', 'GraphicsMagick', 'vips'] if peers else [])
    label = lambda n: os.path.basename(clis[n][1]) if isinstance(n, int) else n
    print('\nmedians per photo: wall ms / CPU ms / peak MiB')
    print('%-34s' % 'photo' + ''.join(' | %-22s' % label(n)[-22:] for n in names))
    for i, photo in enumerate(photos):
        parts = photo.split('/')
        name = ('%s %s' % (parts[4], parts[-1])) if 'wallpapers' in photo else parts[-1]
        w, h, progressive, grey = facts[i]
        kind = 'P' if progressive else ('G' if grey else 'B')
        line = '%-34s' % ('%s %s %.1fMP' % (kind, name[-22:], w * h / 1e6))
        for n in names:
            line += ' | %6.0f %6.0f %6.1f' % (med(i, n, 0), med(i, n, 1), med(i, n, 2))
        print(line)

    def summary(title, values, photos_of):
        if not values:
            return
        print('%-52s median %.3f  min %.3f  max %.3f' % (title, statistics.median(values), min(values), max(values)))

    groups = [('all', range(len(photos))), ('progressive', [i for i in range(len(photos)) if facts[i][2]]),
              ('baseline', [i for i in range(len(photos)) if not facts[i][2]])]
    print('\nratios of %s (per photo, then over the photos)' % label(0))
    for gname, idx in groups:
        idx = list(idx)
        if not idx:
            continue
        print('-- %s photos (%d)' % (gname, len(idx)))
        cpu_floor = [med(i, 0, 1) / (med(i, 'djpeg', 1) + med(i, 'cjpeg', 1)) for i in idx]
        summary('CPU / floor (djpeg + cjpeg CPU), bar 1.25', cpu_floor, idx)
        wall_djpeg = [med(i, 0, 0) / med(i, 'djpeg', 0) for i in idx]
        summary('wall / djpeg wall, bar 1.25', wall_djpeg, idx)
        rss = [med(i, 0, 2) / max(32.0, 1.25 * med(i, 'djpeg', 2)) for i in idx]
        summary('peak RSS / max(32 MiB, 1.25 djpeg), bar 1', rss, idx)
        if peers:
            best = [min(med(i, p, 0) for p in ('ImageMagick', 'GraphicsMagick', 'vips')) / med(i, 0, 0) for i in idx]
            summary('fastest peer wall / wall, bar 1.3', best, idx)
            best_cpu = [min(med(i, p, 1) for p in ('ImageMagick', 'GraphicsMagick', 'vips')) / med(i, 0, 1)
                        for i in idx]
            summary('fastest peer CPU / CPU', best_cpu, idx)
        for k in range(1, len(clis)):
            summary('%s / %s CPU' % (label(k)[-20:], label(0)[-20:]), [med(i, k, 1) / med(i, 0, 1) for i in idx], idx)
            summary('%s / %s wall' % (label(k)[-20:], label(0)[-20:]), [med(i, k, 0) / med(i, 0, 0) for i in idx], idx)
            summary('%s / %s peak RSS' % (label(k)[-20:], label(0)[-20:]), [med(i, k, 2) / med(i, 0, 2) for i in idx],
                    idx)
        misses = []
        for i in idx:
            m = []
            if med(i, 0, 1) > 1.25 * (med(i, 'djpeg', 1) + med(i, 'cjpeg', 1)):
                m.append('CPU')
            if med(i, 0, 0) > 1.25 * med(i, 'djpeg', 0):
                m.append('wall')
            if med(i, 0, 2) > max(32.0, 1.25 * med(i, 'djpeg', 2)):
                m.append('RSS')
            if peers and min(med(i, p, 0) for p in ('ImageMagick', 'GraphicsMagick', 'vips')) < 1.3 * med(i, 0, 0):
                m.append('peers')
            if m:
                misses.append('%s (%s)' % (os.path.basename(photos[i]) if 'wallpapers' not in photos[i]
                                           else photos[i].split('/')[4], ', '.join(m)))
        if gname == 'all':
            print('bars missed: %s' % ('; '.join(misses) if misses else 'none'))


if __name__ == '__main__':
    main()
