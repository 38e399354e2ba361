// SPDX-License-Identifier: MIT
// A console host of the C# binding (bindings/dotnet/VelquartGifExport.cs): the C# twin of
// `gifexport convert`. Probes the input, starts the job, shows its progress from a timer,
// cancels on Ctrl-C and prints the result.
//
//   GifExportExample.exe IN OUT [--start MS] [--end MS] [--width N] [--fps N]
//                        [--json] [--quiet] [--cancel-after SECONDS]
//
// Exit codes: 0 done, 1 failed, 2 refused (usage, probe or start), 130 cancelled.

using System;
using System.Globalization;
using System.Threading;
using Velquart.GifExport;

internal static class Program
{
    private const int ExitDone = 0, ExitFailed = 1, ExitRefused = 2, ExitCancelled = 130;
    private static readonly TimeSpan PollInterval = TimeSpan.FromMilliseconds(100);

    private sealed class Options
    {
        public string In, Out;
        public long StartMs, EndMs = -1;
        public int Width, Fps;
        public bool Json, Quiet;
        public double CancelAfterSeconds = -1;
    }

    private static int Main(string[] args)
    {
        Options o = ParseOptions(args);
        if (o == null)
        {
            Console.Error.WriteLine("usage: GifExportExample.exe IN OUT [--start MS] [--end MS] [--width N] [--fps N]\n" +
                                    "                            [--json] [--quiet] [--cancel-after SECONDS]");
            return ExitRefused;
        }
        try
        {
            return Convert(o);
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine("gifexport: the native library velquart-gifexport is not found: " + e.Message);
            return ExitRefused;
        }
    }

    private static int Convert(Options o)
    {
        MediaProbeResult probe = GifExportLibrary.Probe(o.In);
        if (!probe.Succeeded)
        {
            Console.Error.WriteLine("gifexport: " + o.In + ": " + probe.Error);
            return ExitRefused;
        }
        if (!o.Quiet) Console.Error.WriteLine(Describe(o.In, probe));

        GifExportJob job;
        try
        {
            job = GifExportJob.Start(o.In, o.Out, o.StartMs, o.EndMs, o.Width, o.Fps);
        }
        catch (GifExportArgumentException e)
        {
            Console.Error.WriteLine("gifexport: " + (probe.DurationMs == 0 ? "the input reports no duration" : e.Message));
            return ExitRefused;
        }
        catch (GifExportException e)
        {
            Console.Error.WriteLine("gifexport: " + e.Message + " (" + e.Code + ")");
            return ExitRefused;
        }

        using (job)
        using (var ended = new ManualResetEventSlim(false))
        {
            int ctrlC = 0;
            // The first Ctrl-C cancels and waits for the job to wind down; a second stops
            // waiting (disposing the job stops it and removes the unfinished GIF).
            ConsoleCancelEventHandler onCtrlC = (sender, e) =>
            {
                e.Cancel = true;
                try
                {
                    if (Interlocked.Increment(ref ctrlC) == 1) job.Cancel();
                    else ended.Set();
                }
                catch (ObjectDisposedException)
                {
                    // The job has just ended and been disposed.
                }
            };
            Console.CancelKeyPress += onCtrlC;
            var view = new ProgressView(o.Quiet);
            var started = DateTime.UtcNow;
            bool cancelSent = false;
            // Progress is polled from a timer, as a desktop host would from its UI timer. The
            // timer fires once at a time: each callback schedules the next.
            Timer timer = null;
            timer = new Timer(_ =>
            {
                try
                {
                    if (!cancelSent && o.CancelAfterSeconds >= 0 &&
                        (DateTime.UtcNow - started).TotalSeconds >= o.CancelAfterSeconds)
                    {
                        cancelSent = true;
                        job.Cancel();
                    }
                    GifExportProgress p = job.Progress;
                    view.Show(p);
                    if (p.State >= GifExportJobState.Done) ended.Set();
                    else timer.Change(PollInterval, Timeout.InfiniteTimeSpan);
                }
                catch (ObjectDisposedException)
                {
                    // The job was disposed meanwhile: nothing more to show.
                }
            }, null, Timeout.InfiniteTimeSpan, Timeout.InfiniteTimeSpan);
            timer.Change(TimeSpan.Zero, Timeout.InfiniteTimeSpan);  // once the callback can see the timer

            ended.Wait();
            using (var timerDone = new ManualResetEvent(false))
            {
                // Dispose(WaitHandle) signals once a callback in progress has returned.
                if (timer.Dispose(timerDone)) timerDone.WaitOne();
            }
            view.Finish();
            Console.CancelKeyPress -= onCtrlC;

            GifExportJobState state = job.Status;
            GifExportResult result = job.Result;
            job.Dispose();  // blocks until the job's thread has ended; removes the GIF unless done
            if (o.Json) Console.WriteLine(result.Raw);
            switch (state)
            {
                case GifExportJobState.Done:
                    if (!o.Json && !o.Quiet) Console.WriteLine(Summary(o.Out, result));
                    return ExitDone;
                case GifExportJobState.Failed:
                    Console.Error.WriteLine("gifexport: the export failed: " + result.Error);
                    return ExitFailed;
                default:
                    Console.Error.WriteLine("gifexport: the export was cancelled; no file was left");
                    return ExitCancelled;
            }
        }
    }

    private static string Describe(string path, MediaProbeResult probe)
    {
        string text = string.Format(CultureInfo.InvariantCulture, "{0}: {1}, {2:0.000} s", path, probe.Format,
                                    probe.DurationMs / 1000.0);
        foreach (MediaStreamInfo s in probe.Streams)
        {
            if (s.Type == "video")
                return text + string.Format(CultureInfo.InvariantCulture, ", video {0} {1}x{2} {3:0.###} fps", s.Codec,
                                            s.Width, s.Height, s.Fps);
        }
        return text;
    }

    private static string Summary(string path, GifExportResult r)
    {
        return string.Format(CultureInfo.InvariantCulture,
                             "{0}: {1:0.0} KB, {2}x{3}, {4} frames at {5} fps, {6:0.00} s of video, made in {7:0.00} s",
                             path, r.OutputSizeBytes / 1024.0, r.Width, r.Height, r.Frames, r.Fps,
                             r.DurationMs / 1000.0, r.ElapsedMs / 1000.0);
    }

    // A bar on a console, a plain line every second when standard error is redirected.
    private sealed class ProgressView
    {
        private readonly bool _quiet;
        private readonly bool _console = !Console.IsErrorRedirected;
        private DateTime _nextLine = DateTime.MinValue;

        public ProgressView(bool quiet)
        {
            _quiet = quiet;
        }

        public void Show(GifExportProgress p)
        {
            if (_quiet) return;
            if (_console)
            {
                var bar = new string('#', (int)(p.Fraction * 20)).PadRight(20);
                Console.Error.Write(string.Format(CultureInfo.InvariantCulture, "\r[{0}] {1,5:0.0}% {2,-6} frames {3,-5}",
                                                  bar, p.Fraction * 100, p.Phase.ToString().ToLowerInvariant(), p.Frames));
            }
            else if (DateTime.UtcNow >= _nextLine || p.State >= GifExportJobState.Done)
            {
                _nextLine = DateTime.UtcNow.AddSeconds(1);
                Console.Error.WriteLine(string.Format(CultureInfo.InvariantCulture, "progress: {0:0.0}% {1}, {2} frames",
                                                      p.Fraction * 100, p.Phase.ToString().ToLowerInvariant(), p.Frames));
            }
        }

        public void Finish()
        {
            if (!_quiet && _console) Console.Error.WriteLine();
        }
    }

    private static Options ParseOptions(string[] args)
    {
        var o = new Options();
        int positional = 0;
        for (int i = 0; i < args.Length; i++)
        {
            string a = args[i];
            string value = i + 1 < args.Length ? args[i + 1] : null;
            bool ok = true;
            switch (a)
            {
                case "--json": o.Json = true; continue;
                case "--quiet": o.Quiet = true; continue;
                case "--start": ok = value != null && long.TryParse(value, NumberStyles.None, CultureInfo.InvariantCulture, out o.StartMs); break;
                case "--end": ok = value != null && long.TryParse(value, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out o.EndMs); break;
                case "--width": ok = value != null && int.TryParse(value, NumberStyles.None, CultureInfo.InvariantCulture, out o.Width); break;
                case "--fps": ok = value != null && int.TryParse(value, NumberStyles.None, CultureInfo.InvariantCulture, out o.Fps); break;
                case "--cancel-after":
                    ok = value != null && double.TryParse(value, NumberStyles.AllowDecimalPoint, CultureInfo.InvariantCulture, out o.CancelAfterSeconds);
                    break;
                default:
                    if (a.StartsWith("--", StringComparison.Ordinal)) return null;
                    if (positional == 0) o.In = a;
                    else if (positional == 1) o.Out = a;
                    else return null;
                    positional++;
                    continue;
            }
            if (!ok) return null;
            i++;
        }
        return positional == 2 ? o : null;
    }
}
