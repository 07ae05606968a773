#!/usr/bin/env python3
"""Wall and CPU time of `tamarind2-cli reduce` against djpeg's decode alone.

    bench/wall_rounds.py ROUNDS CLI... -- PHOTO...

Each round runs, for each photo, `djpeg -dct int` and then every CLI's
`reduce` on a copy in /dev/shm, one process at a time; prints the median wall
and CPU (user + system) milliseconds, and each CLI's wall time as a ratio to
djpeg's. A lighter loop than cpu_bench (no cjpeg, no in-process runs), for
the wall time of short conversions, which the machine's other work sways.
A CLI given as VAR=VALUE@/path runs with that variable set.
"""
import os
import shutil
import statistics
import sys
import tempfile
import time


def main():
    args = sys.argv[1:]
    if '--' not in args or len(args) < 4:
        sys.exit(__doc__)
    rounds = int(args[0])
    sep = args.index('--')
    clis = [(c.split('@', 1) if '@' in c else (None, c)) for c in args[1:sep]]
    photos = args[sep + 1:]
    work = tempfile.mkdtemp(dir='/dev/shm' if os.path.isdir('/dev/shm') else None)

    def run(argv, cwd, env=None):
        start = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            os.chdir(cwd)
            if env:
                name, value = env.split('=', 1)
                os.environ[name] = value
            null = os.open('/dev/null', os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(null, 2)
            os.execvp(argv[0], argv)
        _, _, usage = os.wait4(pid, 0)
        return (time.perf_counter() - start) * 1e3, (usage.ru_utime + usage.ru_stime) * 1e3

    times = {}
    try:
        for _ in range(rounds):
            for i, photo in enumerate(photos):
                folder = os.path.join(work, str(i))
                os.makedirs(folder, exist_ok=True)
                source = os.path.join(folder, 'a.jpg')
                if not os.path.exists(source):
                    shutil.copy(photo, source)
                times.setdefault((i, 'djpeg'), []).append(
                    run(['djpeg', '-dct', 'int', '-outfile', '/dev/null', 'a.jpg'], folder))
                for k, (env, cli) in enumerate(clis):
                    out = os.path.join(folder, 'a_x.jpg')
                    if os.path.exists(out):
                        os.unlink(out)
                    times.setdefault((i, k), []).append(run([cli, 'reduce', 'a.jpg'], folder, env))
    finally:
        shutil.rmtree(work)

    def medians(samples):
        return statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples)

    print('%-30s %15s' % ('photo', 'djpeg wall/CPU') +
          ''.join(' | %24s' % os.path.basename(c)[-24:] for _, c in clis))
    for i, photo in enumerate(photos):
        dj_wall, dj_cpu = medians(times[(i, 'djpeg')])
        parts = photo.split('/')
        name = parts[4] if 'wallpapers' in photo else parts[-1]
        line = '%-30s %6.1f / %6.1f' % (name[:30], dj_wall, dj_cpu)
        for k in range(len(clis)):
            wall, cpu = medians(times[(i, k)])
            line += ' | %6.1f %5.2fx %6.1f CPU' % (wall, wall / dj_wall, cpu)
        print(line)


if __name__ == '__main__':
    main()
