// SPDX-License-Identifier: MIT
// Tests of the C# binding against the built library, compiled with the binding's source:
//
//   mono BindingTests.exe --work DIR [--ffmpeg TOOL] [--corpus DIR] [CASE ...]
//
// The input clips are made with the ffmpeg command-line tool (--ffmpeg, else
// $GIFEXPORT_FFMPEG), else taken from the shared media corpus (--corpus); the cases that
// need them are skipped when there is neither. Exits 1 when a case fails.
// Runs in a comma-decimal culture: the reports must be read the same in any culture.

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Velquart.GifExport;

internal static class BindingTests
{
    private const string InputName = "vidéo ü€.mp4";
    private const string OutputName = "sortie 名.gif";
    private static readonly TimeSpan JobDeadline = TimeSpan.FromMinutes(2);

    private static string _work;
    private static string _ffmpeg;
    private static string _corpus;
    private static string _shortClip;  // 3 s (or 10 s from the corpus), 320x240, at InputName
    private static string _longClip;   // 10 s, 320x240
    private static string _audioOnly;

    private sealed class SkipException : Exception
    {
        public SkipException(string why) : base(why) { }
    }

    private static int Main(string[] args)
    {
        var only = new List<string>();
        for (int i = 0; i < args.Length; i++)
        {
            if (args[i] == "--work" && i + 1 < args.Length) _work = args[++i];
            else if (args[i] == "--ffmpeg" && i + 1 < args.Length) _ffmpeg = args[++i];
            else if (args[i] == "--corpus" && i + 1 < args.Length) _corpus = args[++i];
            else only.Add(args[i]);
        }
        if (_work == null)
        {
            Console.Error.WriteLine("usage: BindingTests.exe --work DIR [--ffmpeg TOOL] [--corpus DIR] [CASE ...]");
            return 2;
        }
        if (string.IsNullOrEmpty(_ffmpeg)) _ffmpeg = Environment.GetEnvironmentVariable("GIFEXPORT_FFMPEG");
        var commaDecimal = new CultureInfo("de-DE");
        CultureInfo.DefaultThreadCurrentCulture = commaDecimal;
        Thread.CurrentThread.CurrentCulture = commaDecimal;

        if (Directory.Exists(_work)) Directory.Delete(_work, true);
        Directory.CreateDirectory(_work);
        MakeInputs();

        var cases = new List<KeyValuePair<string, Action>>
        {
            Case("version", Version),
            Case("reader_takes_the_library_texts_in_any_culture", ReaderTakesLibraryTexts),
            Case("reader_refuses_malformed_texts", ReaderRefusesMalformedTexts),
            Case("fraction_is_the_tools_whole_job_bar", FractionIsTheToolsBar),
            Case("paths_the_library_cannot_take_are_refused_here", PathsRefusedBeforeTheLibrary),
            Case("probe_of_a_non_ascii_name", ProbeOfNonAsciiName),
            Case("returned_texts_survive_the_next_call", TextsSurviveTheNextCall),
            Case("conversion_to_a_non_ascii_name", ConversionToNonAsciiName),
            Case("start_refusals_are_their_exceptions", StartRefusals),
            Case("both_slots_busy", BothSlotsBusy),
            Case("cancel_then_dispose_leaves_no_file", CancelThenDisposeLeavesNoFile),
            Case("dispose_twice_frees_once", DisposeTwiceFreesOnce),
            Case("forgotten_job_is_freed_by_its_finalizer", ForgottenJobIsFreedByFinalizer),
        };
        int failed = 0;
        foreach (var c in cases)
        {
            if (only.Count > 0 && !only.Contains(c.Key)) continue;
            try
            {
                c.Value();
                Console.WriteLine("PASS " + c.Key);
            }
            catch (SkipException e)
            {
                Console.WriteLine("SKIP " + c.Key + ": " + e.Message);
            }
            catch (Exception e)
            {
                failed++;
                Console.WriteLine("FAIL " + c.Key + ": " + e);
            }
        }
        Console.WriteLine(failed == 0 ? "all passed" : failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    private static KeyValuePair<string, Action> Case(string name, Action run)
    {
        return new KeyValuePair<string, Action>(name, run);
    }

    // ---- cases without input files ----

    private static void Version()
    {
        Check(Regex.IsMatch(GifExportLibrary.Version, @"^1\.0\.0 \(libavfilter \d+\.\d+\.\d+\)$"),
              "version text: " + GifExportLibrary.Version);
    }

    private static void ReaderTakesLibraryTexts()
    {
        var p = GifExportProgress.Parse(
            "{\"state\":2,\"percent\":42.5,\"phase\":\"decode\",\"processed_ms\":1700,\"total_ms\":4000,\"frames\":0}", 15);
        Equal(GifExportJobState.Running, p.State, "state");
        Equal(42.5, p.Percent, "percent, read in the invariant culture");
        Equal(GifExportPhase.Decode, p.Phase, "phase");
        Equal(1700L, p.ProcessedMs, "processed_ms");
        Equal(4000L, p.TotalMs, "total_ms");

        var r = GifExportResult.Parse(
            "{\"state\":3,\"ok\":true,\"out_path\":\"a \\\"b\\\" \\\\ \\u00e9\\ud83d\\ude00 名.gif\",\"out_size_bytes\":885341," +
            "\"width\":480,\"height\":270,\"fps\":15,\"frames\":60,\"duration_ms\":4000,\"elapsed_ms\":677}");
        Equal("a \"b\" \\ é\U0001F600 名.gif", r.OutputPath, "escaped out_path");
        Equal(885341L, r.OutputSizeBytes, "out_size_bytes");
        Check(r.Succeeded && r.Error == null, "ok result");

        var failed = GifExportResult.Parse("{\"state\":5,\"ok\":false,\"error\":\"cannot open output file\"}");
        Check(!failed.Succeeded && failed.Error == "cannot open output file" && failed.OutputPath == null,
              "failed result: " + failed.Error);

        var probe = MediaProbeResult.Parse(
            "{\"ok\":true,\"duration_ms\":4000,\"format\":\"mov,mp4,m4a,3gp,3g2,mj2\",\"streams\":[" +
            "{\"index\":0,\"type\":\"video\",\"codec\":\"h264\",\"width\":640,\"height\":360,\"fps\":25.000}," +
            "{\"index\":1,\"type\":\"audio\",\"codec\":\"aac\",\"width\":0,\"height\":0,\"fps\":0.000}]}");
        Equal(2, probe.Streams.Count, "streams");
        Equal(25.0, probe.Streams[0].Fps, "stream fps");
        Equal("aac", probe.Streams[1].Codec, "second stream's codec");

        Throws<InvalidOperationException>(() => GifExportProgress.Parse("{\"error\":\"bad id\"}", 15), "bad-id progress");
        Throws<InvalidOperationException>(() => GifExportResult.Parse("{\"error\":\"bad id\"}"), "bad-id result");
    }

    private static void ReaderRefusesMalformedTexts()
    {
        const string good = "\"state\":2,\"percent\":1.0,\"phase\":\"decode\",\"processed_ms\":1,\"total_ms\":2,\"frames\":0";
        string[] bad =
        {
            "",
            "{" + good,                                     // unterminated object
            "{" + good + "}x",                               // text after the object
            "{" + good + ",}",                               // trailing comma
            "{" + good.Replace("1.0", "1,0") + "}",          // a comma decimal
            "{" + good.Replace("1.0", "01.0") + "}",         // a leading zero
            "{" + good.Replace("1.0", "1.") + "}",           // no digit after the point
            "{" + good.Replace("\"frames\":0", "\"frames\":0.5") + "}",  // an integer field with a fraction
            "{" + good.Replace(",\"frames\":0", "") + "}",   // a missing key
            "{" + good + ",\"state\":3}",                     // a repeated key
            "{" + good.Replace("\"decode\"", "\"dec\nde\"") + "}",  // a raw control character
            "{" + good.Replace("\"decode\"", "\"\\x41\"") + "}",    // an unknown escape
            "{" + good.Replace("\"decode\"", "\"\\u00g1\"") + "}",  // a bad \u escape
            "{" + good.Replace("\"decode\"", "\"paint\"") + "}",    // an unknown phase
            "{" + good.Replace("\"decode\"", "null") + "}",   // a string field that is null
            "[" + good + "]",                                 // not an object
            "{" + good.Replace("\"state\":2", "\"state\":tru") + "}",
        };
        foreach (string text in bad)
            Throws<FormatException>(() => GifExportProgress.Parse(text, 15), "malformed text " + text);
    }

    private static void FractionIsTheToolsBar()
    {
        // (phase, percent, total_ms, frames, fps) -> the gifexport tool's whole-job fraction.
        var rows = new[]
        {
            new { Phase = "decode", Percent = 0.0, TotalMs = 4000L, Frames = 0L, Fps = 15, Want = 0.0 },
            new { Phase = "decode", Percent = 50.0, TotalMs = 4000L, Frames = 0L, Fps = 15, Want = 0.25 },
            new { Phase = "decode", Percent = 100.0, TotalMs = 4000L, Frames = 0L, Fps = 15, Want = 0.5 },
            // Encoding: the percent stays at 100, the frames count.
            new { Phase = "encode", Percent = 100.0, TotalMs = 4000L, Frames = 30L, Fps = 15, Want = 0.75 },
            new { Phase = "encode", Percent = 100.0, TotalMs = 4000L, Frames = 60L, Fps = 15, Want = 1.0 },
            new { Phase = "encode", Percent = 100.0, TotalMs = 4000L, Frames = 61L, Fps = 15, Want = 1.0 },
            // A long job's second pass is its encode phase, whatever the percent says.
            new { Phase = "encode", Percent = 37.0, TotalMs = 10000L, Frames = 75L, Fps = 30, Want = 0.625 },
            // A job that had failed when its frame rate was read: encoding counts as half done.
            new { Phase = "encode", Percent = 100.0, TotalMs = 4000L, Frames = 30L, Fps = 0, Want = 0.5 },
        };
        foreach (var row in rows)
        {
            string text = string.Format(CultureInfo.InvariantCulture,
                "{{\"state\":2,\"percent\":{0:0.0},\"phase\":\"{1}\",\"processed_ms\":0,\"total_ms\":{2},\"frames\":{3}}}",
                row.Percent, row.Phase, row.TotalMs, row.Frames);
            Near(row.Want, GifExportProgress.Parse(text, row.Fps).Fraction, 1e-9, "fraction of " + text + " at " + row.Fps + " fps");
        }
    }

    private static void PathsRefusedBeforeTheLibrary()
    {
        // A NUL would end the path early in the library, a lone surrogate would become U+FFFD:
        // both would name another file, so neither reaches the library.
        string real = Path.Combine(_work, "real.gif");
        string[] bad = { real + "\0.gif", Path.Combine(_work, "x\uD800.gif") };
        foreach (string path in bad)
        {
            ThrowsExactly<ArgumentException>(() => GifExportJob.Start(path, real).Dispose(), "input " + Escape(path));
            ThrowsExactly<ArgumentException>(() => GifExportJob.Start(real, path).Dispose(), "output " + Escape(path));
            ThrowsExactly<ArgumentException>(() => GifExportLibrary.Probe(path), "probe " + Escape(path));
        }
        ThrowsExactly<ArgumentNullException>(() => GifExportJob.Start(null, real).Dispose(), "null input");
        ThrowsExactly<ArgumentNullException>(() => GifExportJob.Start(real, null).Dispose(), "null output");
        ThrowsExactly<ArgumentNullException>(() => GifExportLibrary.Probe(null), "null probe path");
        Check(!File.Exists(real), "nothing written");
    }

    // ---- cases with input files ----

    private static void ProbeOfNonAsciiName()
    {
        NeedInputs();
        MediaProbeResult p = GifExportLibrary.Probe(_shortClip);
        Check(p.Succeeded, "probe of " + _shortClip + ": " + p.Raw);
        MediaStreamInfo video = p.Streams.Single(s => s.Type == "video");
        Equal(320, video.Width, "video width");
        Equal(240, video.Height, "video height");
        Check(p.DurationMs > 0, "duration " + p.DurationMs);

        MediaProbeResult missing = GifExportLibrary.Probe(Path.Combine(_work, "absent ü.mp4"));
        Check(!missing.Succeeded && missing.Error.StartsWith("open:", StringComparison.Ordinal),
              "probe of a missing file: " + missing.Raw);
        Equal(0, missing.Streams.Count, "streams of a failed probe");
    }

    private static void TextsSurviveTheNextCall()
    {
        NeedInputs();
        // The library replaces its probe text on the next probe: what we got must be a copy.
        MediaProbeResult first = GifExportLibrary.Probe(_shortClip);
        string firstRaw = first.Raw;
        MediaProbeResult second = GifExportLibrary.Probe(Path.Combine(_work, "absent.mp4"));
        Check(!second.Succeeded, "second probe fails");
        Equal(firstRaw, first.Raw, "first probe's text after the second probe");
        Check(first.Succeeded && first.Streams.Count > 0, "first probe's values after the second probe");
        Equal(firstRaw, GifExportLibrary.Probe(_shortClip).Raw, "a probe of the same file gives the same text");

        // The same for a job's reports, which the library rewrites in its slot on each call.
        using (GifExportJob job = GifExportJob.Start(_shortClip, Path.Combine(_work, "texts.gif"), 0, 2000, 160, 10))
        {
            GifExportProgress early = job.Progress;
            GifExportResult earlyResult = job.Result;
            string earlyRaw = early.Raw, earlyResultRaw = earlyResult.Raw;
            WaitForEnd(job);
            GifExportProgress late = job.Progress;
            GifExportResult lateResult = job.Result;
            Equal(GifExportJobState.Done, late.State, "final state");
            Equal(earlyRaw, early.Raw, "early progress text after later calls");
            Equal(earlyResultRaw, earlyResult.Raw, "early result text after later calls");
            Check(earlyResult.State != GifExportJobState.Done && !earlyResult.Succeeded, "early result is not the final one");
            Check(lateResult.Succeeded && late.Raw != earlyRaw, "late reports differ from the early ones");
        }
    }

    private static void ConversionToNonAsciiName()
    {
        NeedInputs();
        string output = Path.Combine(_work, OutputName);
        GifExportResult result;
        GifExportProgress last;
        using (GifExportJob job = GifExportJob.Start(_shortClip, output, 0, 2000, 160, 10))
        {
            Equal(10, job.Fps, "the job's frame rate, read at the start");
            WaitForEnd(job);
            result = job.Result;
            last = job.Progress;
        }
        Check(result.Succeeded, "result: " + result.Raw);
        Equal(output, result.OutputPath, "out_path");
        Equal(160, result.Width, "width");
        Equal(120, result.Height, "height");
        Equal(20L, result.Frames, "frames of 2 s at 10 fps");
        Equal(2000L, result.DurationMs, "duration_ms");
        Equal(1.0, last.Fraction, "whole-job fraction when done");

        // The file is at exactly that name (no name in another code page beside it).
        string[] gifs = Directory.GetFiles(_work, "*.gif").Select(Path.GetFileName).Where(n => n.StartsWith("sortie")).ToArray();
        Check(gifs.Length == 1 && gifs[0] == OutputName, "files written: " + string.Join(", ", gifs));
        byte[] gif = File.ReadAllBytes(output);
        Equal(result.OutputSizeBytes, (long)gif.Length, "out_size_bytes against the file");
        int width, height, images;
        ReadGif(gif, out width, out height, out images);
        Equal(160, width, "GIF screen width");
        Equal(120, height, "GIF screen height");
        Equal(20, images, "GIF images");
    }

    private static void StartRefusals()
    {
        NeedInputs();
        string output = Path.Combine(_work, "refused.gif");
        var rows = new[]
        {
            new { Name = "negative start", In = _shortClip, Out = output, Start = -1L, End = 1000L, Code = -1 },
            new { Name = "empty window", In = _shortClip, Out = output, Start = 1000L, End = 1000L, Code = -1 },
            new { Name = "output is the input", In = _shortClip, Out = _shortClip, Start = 0L, End = 1000L, Code = -1 },
            new { Name = "empty output path", In = _shortClip, Out = "", Start = 0L, End = 1000L, Code = -1 },
            new { Name = "missing input", In = Path.Combine(_work, "absent ü.mp4"), Out = output, Start = 0L, End = 1000L, Code = -3 },
            new { Name = "folder as input", In = _work, Out = output, Start = 0L, End = 1000L, Code = -3 },
            new { Name = "no video stream", In = _audioOnly, Out = output, Start = 0L, End = 1000L, Code = -5 },
        };
        foreach (var row in rows)
        {
            Exception caught = null;
            try
            {
                GifExportJob.Start(row.In, row.Out, row.Start, row.End).Dispose();
            }
            catch (Exception e)
            {
                caught = e;
            }
            string what = row.Name + " (" + row.Code + ")";
            Check(caught != null, what + ": no exception");
            switch (row.Code)
            {
                case -1:
                    var argument = caught as GifExportArgumentException;
                    Check(argument != null && argument.Code == -1, what + ": " + caught.GetType());
                    break;
                case -3:
                    var input = caught as GifExportInputException;
                    Check(input != null && input.Code == -3 && input.InputPath == row.In, what + ": " + caught.GetType());
                    break;
                case -5:
                    var noVideo = caught as GifExportNoVideoException;
                    Check(noVideo != null && noVideo.Code == -5, what + ": " + caught.GetType());
                    break;
            }
            Check(!File.Exists(output), what + ": an output was written");
            Check(File.Exists(_shortClip), what + ": the input is gone");
        }
    }

    private static void BothSlotsBusy()
    {
        NeedInputs();
        var jobs = new List<GifExportJob>();
        try
        {
            // Ended jobs hold their slot until disposed, so short jobs suffice.
            for (int i = 0; i < 2; i++)
                jobs.Add(GifExportJob.Start(_shortClip, Path.Combine(_work, "busy" + i + ".gif"), 0, 500, 64, 5));
            Check(jobs[0].SessionId != jobs[1].SessionId, "two slots");
            GifExportException busy = null;
            try
            {
                GifExportJob.Start(_shortClip, Path.Combine(_work, "busy2.gif"), 0, 500, 64, 5).Dispose();
            }
            catch (GifExportSlotsBusyException e)
            {
                busy = e;
            }
            Check(busy != null && busy.Code == -2, "third start refused as busy");
            jobs[0].Dispose();
            jobs.Add(GifExportJob.Start(_shortClip, Path.Combine(_work, "busy3.gif"), 0, 500, 64, 5));
            Equal(jobs[0].SessionId, jobs[2].SessionId, "the disposed job's slot is taken by the next start");
        }
        finally
        {
            foreach (GifExportJob job in jobs) job.Dispose();
        }
    }

    private static void CancelThenDisposeLeavesNoFile()
    {
        NeedInputs();
        string output = Path.Combine(_work, "cancelled ü.gif");
        File.WriteAllText(output, "older file at the output path");
        GifExportJob job = GifExportJob.Start(_longClip, output, 0, -1, 1920, 30);
        try
        {
            job.Cancel();
            Equal(GifExportJobState.Cancelled, WaitForEnd(job), "state after cancel");
            GifExportResult result = job.Result;
            Check(!result.Succeeded && result.State == GifExportJobState.Cancelled, "result: " + result.Raw);
        }
        finally
        {
            job.Dispose();
        }
        Check(!File.Exists(output), "the output path is empty after dispose");
        string[] left = Directory.GetFiles(_work, ".gifexport-*");
        Check(left.Length == 0, "temporary files left: " + string.Join(", ", left));
    }

    private static void DisposeTwiceFreesOnce()
    {
        NeedInputs();
        GifExportJob first = GifExportJob.Start(_shortClip, Path.Combine(_work, "first.gif"), 0, 500, 64, 5);
        first.Dispose();
        // The next start takes the freed slot; a second Dispose of the first job must not free it.
        using (GifExportJob next = GifExportJob.Start(_shortClip, Path.Combine(_work, "next.gif"), 0, 500, 64, 5))
        {
            Equal(first.SessionId, next.SessionId, "the next job has the first one's slot");
            first.Dispose();
            Equal(GifExportJobState.Done, WaitForEnd(next), "the next job runs on after the second Dispose");
            Check(next.Result.Succeeded, "the next job's result is its own");
            // Nor may the first job read or cancel the slot that is now the next job's.
            ThrowsExactly<ObjectDisposedException>(() => { var s = first.Status; }, "Status after Dispose");
            ThrowsExactly<ObjectDisposedException>(() => { var p = first.Progress; }, "Progress after Dispose");
            ThrowsExactly<ObjectDisposedException>(() => { var r = first.Result; }, "Result after Dispose");
            ThrowsExactly<ObjectDisposedException>(first.Cancel, "Cancel after Dispose");
            Check(next.Result.Succeeded, "the next job is untouched");
        }
    }

    private static void ForgottenJobIsFreedByFinalizer()
    {
        NeedInputs();
        // Started on a thread that then ends, so that no stack slot (Mono scans stacks
        // conservatively) keeps the job objects alive.
        var starter = new Thread(StartTwoJobsAndForgetThem);
        starter.Start();
        starter.Join();
        var jobs = new List<GifExportJob>();
        try
        {
            for (int round = 0; round < 10 && jobs.Count < 2; round++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                try
                {
                    while (jobs.Count < 2)
                        jobs.Add(GifExportJob.Start(_shortClip, Path.Combine(_work, "after" + jobs.Count + ".gif"), 0, 500, 64, 5));
                }
                catch (GifExportSlotsBusyException)
                {
                }
            }
            Equal(2, jobs.Count, "starts that got a slot after the forgotten jobs were collected");
        }
        finally
        {
            foreach (GifExportJob job in jobs) job.Dispose();
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    private static void StartTwoJobsAndForgetThem()
    {
        for (int i = 0; i < 2; i++)
            GifExportJob.Start(_longClip, Path.Combine(_work, "forgotten" + i + ".gif"), 0, -1, 640, 30);
    }

    // ---- helpers ----

    // An input with sound and no picture, written here: 16-bit mono PCM at
    // 8 kHz, all silence. Not left to the ffmpeg tool, whose build may lack
    // the audio sources.
    private static void WriteSilentWav(string path, int seconds)
    {
        const int rate = 8000;
        int dataBytes = rate * 2 * seconds;
        using (var w = new BinaryWriter(File.Create(path)))
        {
            w.Write(Encoding.ASCII.GetBytes("RIFF"));
            w.Write(36 + dataBytes);
            w.Write(Encoding.ASCII.GetBytes("WAVEfmt "));
            w.Write(16);               // size of the format block
            w.Write((short)1);         // PCM
            w.Write((short)1);         // mono
            w.Write(rate);
            w.Write(rate * 2);         // bytes per second
            w.Write((short)2);         // bytes per sample frame
            w.Write((short)16);        // bits per sample
            w.Write(Encoding.ASCII.GetBytes("data"));
            w.Write(dataBytes);
            w.Write(new byte[dataBytes]);
        }
    }

    private static void MakeInputs()
    {
        string clip = Path.Combine(_work, "clip3s.mp4");
        string longClip = Path.Combine(_work, "clip10s.mp4");
        string audio = Path.Combine(_work, "audio.wav");
        if (!string.IsNullOrEmpty(_ffmpeg) && File.Exists(_ffmpeg))
        {
            RunFfmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -t 3 -c:v mpeg4 -q:v 5 \"" + clip + "\"");
            RunFfmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -t 10 -c:v mpeg4 -q:v 5 \"" + longClip + "\"");
            WriteSilentWav(audio, 1);
        }
        else if (_corpus != null && File.Exists(Path.Combine(_corpus, "h264_black_10s.mp4")))
        {
            // 10 s of 320x240 H.264: long enough for both.
            File.Copy(Path.Combine(_corpus, "h264_black_10s.mp4"), clip);
            File.Copy(clip, longClip);
            File.Copy(Path.Combine(_corpus, "audio_pcm.wav"), audio);
        }
        else
        {
            return;
        }
        _shortClip = Path.Combine(_work, InputName);
        File.Move(clip, _shortClip);
        _longClip = longClip;
        _audioOnly = audio;
    }

    private static void RunFfmpeg(string arguments)
    {
        var start = new ProcessStartInfo(_ffmpeg, "-nostdin -loglevel error -y " + arguments) { UseShellExecute = false };
        using (Process p = Process.Start(start))
        {
            p.WaitForExit();
            if (p.ExitCode != 0) throw new InvalidOperationException("ffmpeg failed: " + arguments);
        }
    }

    private static void NeedInputs()
    {
        if (_shortClip == null) throw new SkipException("no ffmpeg tool (--ffmpeg, $GIFEXPORT_FFMPEG) and no corpus");
    }

    private static GifExportJobState WaitForEnd(GifExportJob job)
    {
        var clock = Stopwatch.StartNew();
        while (!job.IsCompleted)
        {
            if (clock.Elapsed > JobDeadline) throw new TimeoutException("job still running: " + job.Progress.Raw);
            Thread.Sleep(20);
        }
        return job.Status;
    }

    // Reads a GIF's logical screen size and counts its images, walking every block.
    private static void ReadGif(byte[] gif, out int width, out int height, out int images)
    {
        Check(gif.Length > 13 && System.Text.Encoding.ASCII.GetString(gif, 0, 6) == "GIF89a", "GIF89a signature");
        width = gif[6] | gif[7] << 8;
        height = gif[8] | gif[9] << 8;
        images = 0;
        int pos = 13 + ColorTableSize(gif[10]);
        while (true)
        {
            Check(pos < gif.Length, "GIF ends before its trailer");
            byte block = gif[pos++];
            if (block == 0x3B) break;
            if (block == 0x21)
            {
                pos++;  // the extension's label
            }
            else
            {
                Check(block == 0x2C, "unknown GIF block " + block);
                images++;
                pos += 9 + ColorTableSize(gif[pos + 8]) + 1;  // descriptor, local table, LZW code size
            }
            while (gif[pos] != 0) pos += gif[pos] + 1;  // data sub-blocks
            pos++;
        }
        Check(pos == gif.Length, "bytes after the GIF's trailer");
    }

    private static int ColorTableSize(byte flags)
    {
        return (flags & 0x80) != 0 ? 3 << ((flags & 7) + 1) : 0;
    }

    private static string Escape(string s)
    {
        return string.Concat(s.Select(c => c < ' ' || char.IsSurrogate(c) ? "\\u" + ((int)c).ToString("x4") : c.ToString()));
    }

    private static void Check(bool ok, string what)
    {
        if (!ok) throw new Exception("check failed: " + what);
    }

    private static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(what + ": expected " + expected + ", got " + actual);
    }

    private static void Near(double expected, double actual, double tolerance, string what)
    {
        if (!(Math.Abs(expected - actual) <= tolerance))
            throw new Exception(what + ": expected " + expected + ", got " + actual);
    }

    private static void Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T)
        {
            return;
        }
        catch (Exception e)
        {
            throw new Exception(what + ": expected " + typeof(T).Name + ", got " + e.GetType().Name + ": " + e.Message);
        }
        throw new Exception(what + ": expected " + typeof(T).Name + ", nothing thrown");
    }

    private static void ThrowsExactly<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (Exception e)
        {
            if (e.GetType() == typeof(T)) return;
            throw new Exception(what + ": expected exactly " + typeof(T).Name + ", got " + e.GetType().Name + ": " + e.Message);
        }
        throw new Exception(what + ": expected " + typeof(T).Name + ", nothing thrown");
    }
}
