// SPDX-License-Identifier: MIT
// C# binding of velquart-gifexport: add this one file to a project (.NET
// Framework 4.x, .NET 6 or later, Mono). It declares the library's eight C
// functions once, marshals every path as UTF-8 and copies every returned text
// at once, and wraps a job in a disposable object. No package is needed; the
// reports are read by a small JSON reader at the end of this file.
//
// The native library is loaded by the name "velquart-gifexport": on Windows
// velquart-gifexport.dll beside the program (or on the DLL search path); on
// Linux libvelquart-gifexport.so (Mono and .NET add the lib prefix) in the
// program's folder or on the loader's path (LD_LIBRARY_PATH, ldconfig).
//
// Written in C# 6 so that every compiler of those runtimes takes it.

using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Velquart.GifExport
{
    /// <summary>The state of a job, as <c>gifexport_status</c> reports it.</summary>
    public enum GifExportJobState
    {
        /// <summary>Started; the worker has not begun decoding yet.</summary>
        Pending = 0,
        /// <summary>Decoding or encoding.</summary>
        Running = 2,
        /// <summary>Ended with the GIF complete at the output path.</summary>
        Done = 3,
        /// <summary>Ended by <see cref="GifExportJob.Cancel"/>; the output is removed when the job is disposed.</summary>
        Cancelled = 4,
        /// <summary>Ended with a failure text (<see cref="GifExportResult.Error"/>); the output is removed when the job is disposed.</summary>
        Failed = 5,
    }

    /// <summary>The stage a job reports in its progress.</summary>
    public enum GifExportPhase
    {
        /// <summary>Decoding the window (for a long job: its first pass, which builds the palette).</summary>
        Decode,
        /// <summary>Encoding the GIF (for a long job: its second pass over the window).</summary>
        Encode,
    }

    /// <summary>The library's version and its probe of media files.</summary>
    public static class GifExportLibrary
    {
        private static readonly object ProbeGate = new object();

        /// <summary>The version text, "1.0.0 (libavfilter X.Y.Z)". Loads the native library on first use.</summary>
        /// <exception cref="DllNotFoundException">The native library is not found (see the file's header).</exception>
        public static string Version
        {
            get { return NativeText.Copy(NativeMethods.gifexport_version()); }
        }

        /// <summary>
        /// Describes a media file: its container format, duration and streams. Blocks while the
        /// file is opened and analysed. A file that cannot be read gives a result whose
        /// <see cref="MediaProbeResult.Succeeded"/> is false, with the reason in
        /// <see cref="MediaProbeResult.Error"/>. Probes from several threads run one after another.
        /// </summary>
        /// <param name="path">A local file; never a URL.</param>
        /// <exception cref="ArgumentNullException"><paramref name="path"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="path"/> holds a NUL character or a lone UTF-16 surrogate.</exception>
        public static MediaProbeResult Probe(string path)
        {
            byte[] pathBytes = NativeText.PathBytes(path, "path");
            string raw;
            // The library keeps one probe text for all callers, replaced by the next probe.
            lock (ProbeGate)
            {
                raw = NativeText.Copy(NativeMethods.gifexport_probe(pathBytes));
            }
            return MediaProbeResult.Parse(raw);
        }
    }

    /// <summary>
    /// One export of a stretch of video into an animated GIF, in one of the library's two
    /// session slots. <see cref="Start"/> claims a slot, <see cref="Dispose"/> frees it: dispose
    /// every job, since a slot stays claimed (and a third start fails) until then.
    /// </summary>
    /// <remarks>
    /// <para>The job runs on a thread of the library's own. Follow it by polling
    /// <see cref="Status"/> or <see cref="Progress"/> from a timer (a
    /// <c>System.Threading.Timer</c>, or a UI timer in a desktop application), not from a loop
    /// on the UI thread. Neither call waits for the job.</para>
    /// <para>The output path belongs to the job: the GIF appears there only once complete, and
    /// unless the job ends <see cref="GifExportJobState.Done"/>, disposing it removes any file at
    /// that path, even one that stood there before the start.</para>
    /// <para>All members may be called from any thread. <see cref="Dispose"/> blocks until the
    /// job's thread has ended (it asks the job to stop first; that usually takes milliseconds).
    /// A job object that is collected without being disposed is freed by its finalizer, which
    /// also stops the job: keep a reference to a job while it runs.</para>
    /// </remarks>
    public sealed class GifExportJob : IDisposable
    {
        // The library's starts must not overlap one another.
        private static readonly object StartGate = new object();

        // Held around each report call: calls of one report function for the same id must not
        // overlap, and once the job is released no call may reach the slot, which a later start
        // may have claimed for another job.
        private readonly object _reportGate = new object();
        private readonly int _id;
        private int _released;

        private GifExportJob(int id, string inputPath, string outputPath)
        {
            _id = id;
            InputPath = inputPath;
            OutputPath = outputPath;
        }

        /// <summary>Frees the slot of a job that was never disposed (the job is stopped first).</summary>
        ~GifExportJob()
        {
            Release();
        }

        /// <summary>The input path given to <see cref="Start"/>.</summary>
        public string InputPath { get; }

        /// <summary>The output path given to <see cref="Start"/>.</summary>
        public string OutputPath { get; }

        /// <summary>The library's session id of this job (0 or 1), for logs.</summary>
        public int SessionId
        {
            get { return _id; }
        }

        /// <summary>The GIF's frame rate after the library's clamping (1..30); 0 when the job had already failed when it was read at the start.</summary>
        public int Fps { get; private set; }

        /// <summary>
        /// Starts converting [<paramref name="startMs"/>, <paramref name="endMs"/>) of the input into
        /// a GIF. Blocks while the input is opened and checked; the conversion then runs on the
        /// library's thread. Starts from several threads run one after another.
        /// </summary>
        /// <param name="inputPath">A local video file; never a URL.</param>
        /// <param name="outputPath">The GIF to write. It belongs to the job (see the class remarks).</param>
        /// <param name="startMs">Start of the window in milliseconds from the input's beginning; not negative.</param>
        /// <param name="endMs">End of the window; negative for the input's end. The window is cut to the input's duration and to 60000 ms.</param>
        /// <param name="width">GIF width, clamped to 64..1920; 0 or less gives 480.</param>
        /// <param name="fps">GIF frame rate, clamped to 1..30; 0 or less gives 15.</param>
        /// <returns>The running job; dispose it.</returns>
        /// <exception cref="ArgumentNullException">A path is null.</exception>
        /// <exception cref="GifExportArgumentException">The library refused the arguments (code -1).</exception>
        /// <exception cref="ArgumentException">A path holds a NUL character or a lone UTF-16 surrogate (not passed to the library).</exception>
        /// <exception cref="GifExportSlotsBusyException">Both slots are claimed by jobs not yet disposed (code -2).</exception>
        /// <exception cref="GifExportInputException">The input cannot be opened or analysed (code -3).</exception>
        /// <exception cref="GifExportThreadException">The job's thread cannot be started (code -4).</exception>
        /// <exception cref="GifExportNoVideoException">The input has no video stream (code -5).</exception>
        public static GifExportJob Start(string inputPath, string outputPath, long startMs = 0, long endMs = -1,
                                         int width = 0, int fps = 0)
        {
            byte[] inBytes = NativeText.PathBytes(inputPath, "inputPath");
            byte[] outBytes = NativeText.PathBytes(outputPath, "outputPath");
            int id;
            lock (StartGate)
            {
                id = NativeMethods.gifexport_start(inBytes, outBytes, startMs, endMs, width, fps);
            }
            if (id < 0) throw GifExportException.ForStartCode(id, inputPath);
            GifExportJob job = null;
            try
            {
                job = new GifExportJob(id, inputPath, outputPath);
                // As the gifexport tool does: the clamped frame rate, from the first result.
                job.Fps = job.Result.Fps;
                return job;
            }
            catch
            {
                if (job != null) job.Dispose();
                else NativeMethods.gifexport_free(id);
                throw;
            }
        }

        /// <summary>The job's state. Never blocks.</summary>
        /// <exception cref="ObjectDisposedException">The job has been disposed.</exception>
        public GifExportJobState Status
        {
            get
            {
                int state;
                lock (_reportGate)
                {
                    ThrowIfReleased();
                    state = NativeMethods.gifexport_status(_id);
                }
                GC.KeepAlive(this);
                if (state < 0) throw new InvalidOperationException("The library no longer knows session " + _id + ".");
                return (GifExportJobState)state;
            }
        }

        /// <summary>Whether the job has ended: done, cancelled or failed. Never blocks.</summary>
        /// <exception cref="ObjectDisposedException">The job has been disposed.</exception>
        public bool IsCompleted
        {
            get { return Status >= GifExportJobState.Done; }
        }

        /// <summary>A fresh progress report (a copy; later reports do not change it). Never waits for the job.</summary>
        /// <exception cref="ObjectDisposedException">The job has been disposed.</exception>
        public GifExportProgress Progress
        {
            get { return GifExportProgress.Parse(Report(false), Fps); }
        }

        /// <summary>
        /// A fresh result report (a copy). Complete once the job has ended; while it runs it shows
        /// the settings and the frames so far. Never waits for the job. Read it before disposing.
        /// </summary>
        /// <exception cref="ObjectDisposedException">The job has been disposed.</exception>
        public GifExportResult Result
        {
            get { return GifExportResult.Parse(Report(true)); }
        }

        /// <summary>
        /// Asks the job to stop at its next cancel point (or in the read or write it is in) and
        /// returns at once; the job then ends <see cref="GifExportJobState.Cancelled"/> unless it
        /// had already ended. Poll <see cref="Status"/> to see it end, or dispose the job.
        /// </summary>
        /// <exception cref="ObjectDisposedException">The job has been disposed.</exception>
        public void Cancel()
        {
            lock (_reportGate)
            {
                ThrowIfReleased();
                NativeMethods.gifexport_cancel(_id);
            }
            GC.KeepAlive(this);
        }

        /// <summary>
        /// Ends the job and frees its slot: asks the job to stop, blocks until its thread has
        /// ended, and removes the output file unless the job ended done. Later calls do nothing;
        /// every other member then throws <see cref="ObjectDisposedException"/>.
        /// </summary>
        public void Dispose()
        {
            Release();
            GC.SuppressFinalize(this);
        }

        private void Release()
        {
            if (Interlocked.Exchange(ref _released, 1) != 0) return;
            // A report call already in progress finishes first; any later one sees the release.
            lock (_reportGate)
            {
            }
            NativeMethods.gifexport_free(_id);
        }

        private string Report(bool result)
        {
            string raw;
            lock (_reportGate)
            {
                ThrowIfReleased();
                raw = NativeText.Copy(result ? NativeMethods.gifexport_result(_id) : NativeMethods.gifexport_progress(_id));
            }
            GC.KeepAlive(this);
            return raw;
        }

        private void ThrowIfReleased()
        {
            if (Volatile.Read(ref _released) != 0) throw new ObjectDisposedException(nameof(GifExportJob));
        }
    }

    /// <summary>A progress report of a job: an immutable copy of <c>gifexport_progress</c>'s text.</summary>
    public sealed class GifExportProgress
    {
        private GifExportProgress(GifExportJobState state, double percent, GifExportPhase phase, long processedMs,
                                  long totalMs, long frames, double fraction, string raw)
        {
            State = state;
            Percent = percent;
            Phase = phase;
            ProcessedMs = processedMs;
            TotalMs = totalMs;
            Frames = frames;
            Fraction = fraction;
            Raw = raw;
        }

        /// <summary>The job's state when the report was made.</summary>
        public GifExportJobState State { get; }

        /// <summary>How far decoding has come through the window, 0..100. It stays where decoding left it through the encode phase.</summary>
        public double Percent { get; }

        /// <summary>Decoding or encoding.</summary>
        public GifExportPhase Phase { get; }

        /// <summary>The input time decoded so far, in milliseconds from the input's beginning.</summary>
        public long ProcessedMs { get; }

        /// <summary>The window's length in milliseconds.</summary>
        public long TotalMs { get; }

        /// <summary>GIF frames made so far.</summary>
        public long Frames { get; }

        /// <summary>
        /// How much of the whole job is done, 0..1, for a progress bar (the gifexport tool's bar):
        /// decoding fills the first half by <see cref="Percent"/>, encoding the second half by
        /// <see cref="Frames"/> against the frames the window gives at the job's frame rate.
        /// </summary>
        public double Fraction { get; }

        /// <summary>The library's JSON text.</summary>
        public string Raw { get; }

        internal static GifExportProgress Parse(string raw, int fps)
        {
            JsonObject o = JsonObject.ParseJobReport(raw);
            string phaseWord = o.GetString("phase");
            GifExportPhase phase;
            if (phaseWord == "decode") phase = GifExportPhase.Decode;
            else if (phaseWord == "encode") phase = GifExportPhase.Encode;
            else throw new FormatException("Unknown phase in the library's progress report: " + raw);
            double percent = o.GetDouble("percent");
            long totalMs = o.GetInt64("total_ms");
            long frames = o.GetInt64("frames");
            return new GifExportProgress((GifExportJobState)o.GetInt32("state"), percent, phase, o.GetInt64("processed_ms"),
                                         totalMs, frames, WholeJobFraction(percent, phase, totalMs, frames, fps), raw);
        }

        // The gifexport tool's bar: the first half by the decode percentage, the second by the
        // frames against those the window gives (a long job's second pass is its encode phase,
        // whose percentage stays at the first pass's end).
        private static double WholeJobFraction(double percent, GifExportPhase phase, long totalMs, long frames, int fps)
        {
            if (!(percent >= 0)) percent = 0;
            if (percent > 100) percent = 100;
            double expectedFrames = totalMs * (double)fps / 1000.0;
            double done = phase == GifExportPhase.Decode
                ? percent / 100.0 * 0.5
                : 0.5 + 0.5 * (expectedFrames > 0 ? frames / expectedFrames : 0);
            return done > 1 ? 1 : done;
        }
    }

    /// <summary>A result report of a job: an immutable copy of <c>gifexport_result</c>'s text.</summary>
    public sealed class GifExportResult
    {
        private GifExportResult(JsonObject o, string raw)
        {
            Raw = raw;
            State = (GifExportJobState)o.GetInt32("state");
            Succeeded = o.GetBoolean("ok");
            if (State == GifExportJobState.Failed)
            {
                Error = o.GetString("error");
                return;
            }
            OutputPath = o.GetString("out_path");
            OutputSizeBytes = o.GetInt64("out_size_bytes");
            Width = o.GetInt32("width");
            Height = o.GetInt32("height");
            Fps = o.GetInt32("fps");
            Frames = o.GetInt64("frames");
            DurationMs = o.GetInt64("duration_ms");
            ElapsedMs = o.GetInt64("elapsed_ms");
        }

        /// <summary>The job's state when the report was made.</summary>
        public GifExportJobState State { get; }

        /// <summary>True when the job is done and the GIF is complete at <see cref="OutputPath"/>.</summary>
        public bool Succeeded { get; }

        /// <summary>For a failed job, the failure text (the README's "Failure texts"); otherwise null.</summary>
        public string Error { get; }

        /// <summary>The output path as the library holds it (bytes that are not UTF-8 shown as U+FFFD); null for a failed job.</summary>
        public string OutputPath { get; }

        /// <summary>The GIF's size in bytes once done.</summary>
        public long OutputSizeBytes { get; }

        /// <summary>The GIF's width in pixels (known once the first picture is decoded).</summary>
        public int Width { get; }

        /// <summary>The GIF's height in pixels (known once the first picture is decoded).</summary>
        public int Height { get; }

        /// <summary>The GIF's frame rate after clamping.</summary>
        public int Fps { get; }

        /// <summary>GIF frames made (all of them once done).</summary>
        public long Frames { get; }

        /// <summary>The window's length in milliseconds (not a measurement of the GIF).</summary>
        public long DurationMs { get; }

        /// <summary>How long the job has taken, in milliseconds.</summary>
        public long ElapsedMs { get; }

        /// <summary>The library's JSON text.</summary>
        public string Raw { get; }

        internal static GifExportResult Parse(string raw)
        {
            return new GifExportResult(JsonObject.ParseJobReport(raw), raw);
        }
    }

    /// <summary>The description of a media file by <see cref="GifExportLibrary.Probe"/>.</summary>
    public sealed class MediaProbeResult
    {
        private MediaProbeResult(JsonObject o, string raw)
        {
            Raw = raw;
            Succeeded = o.GetBoolean("ok");
            var streams = new List<MediaStreamInfo>();
            if (!Succeeded)
            {
                Error = o.GetString("error");
            }
            else
            {
                DurationMs = o.GetInt64("duration_ms");
                Format = o.GetString("format");
                foreach (JsonObject s in o.GetObjects("streams")) streams.Add(new MediaStreamInfo(s));
            }
            Streams = new ReadOnlyCollection<MediaStreamInfo>(streams);
        }

        /// <summary>Whether the file could be opened and analysed.</summary>
        public bool Succeeded { get; }

        /// <summary>Why the probe failed (for example "open: No such file or directory"); null when it succeeded.</summary>
        public string Error { get; }

        /// <summary>The container's duration in milliseconds; 0 when it reports none (such an input cannot be exported).</summary>
        public long DurationMs { get; }

        /// <summary>The container format's names, for example "mov,mp4,m4a,3gp,3g2,mj2".</summary>
        public string Format { get; }

        /// <summary>One entry per stream, in the file's order; empty when the probe failed.</summary>
        public IReadOnlyList<MediaStreamInfo> Streams { get; }

        /// <summary>The library's JSON text.</summary>
        public string Raw { get; }

        internal static MediaProbeResult Parse(string raw)
        {
            return new MediaProbeResult(JsonObject.Parse(raw), raw);
        }
    }

    /// <summary>One stream of a probed file.</summary>
    public sealed class MediaStreamInfo
    {
        internal MediaStreamInfo(JsonObject o)
        {
            Index = o.GetInt32("index");
            Type = o.GetString("type");
            Codec = o.GetString("codec");
            Width = o.GetInt32("width");
            Height = o.GetInt32("height");
            Fps = o.GetDouble("fps");
        }

        /// <summary>The stream's index in the file.</summary>
        public int Index { get; }

        /// <summary>"video", "audio" or "other".</summary>
        public string Type { get; }

        /// <summary>The codec's name, for example "h264".</summary>
        public string Codec { get; }

        /// <summary>The coded width (0 for a stream without pictures).</summary>
        public int Width { get; }

        /// <summary>The coded height (0 for a stream without pictures).</summary>
        public int Height { get; }

        /// <summary>The average frame rate; 0 when unknown.</summary>
        public double Fps { get; }
    }

    /// <summary>A start the library refused; <see cref="Code"/> is <c>gifexport_start</c>'s negative result.</summary>
    public class GifExportException : Exception
    {
        /// <summary>Creates the exception for a negative result of <c>gifexport_start</c>.</summary>
        public GifExportException(int code, string message) : base(message)
        {
            Code = code;
        }

        /// <summary>The negative result of <c>gifexport_start</c>.</summary>
        public int Code { get; }

        internal static Exception ForStartCode(int code, string inputPath)
        {
            switch (code)
            {
                case -1: return new GifExportArgumentException();
                case -2: return new GifExportSlotsBusyException();
                case -3: return new GifExportInputException(inputPath);
                case -4: return new GifExportThreadException();
                case -5: return new GifExportNoVideoException(inputPath);
                default: return new GifExportException(code, "The library refused the start with code " + code + ".");
            }
        }
    }

    /// <summary>
    /// The library refused the start's arguments (code -1): an empty or overlong path, a negative
    /// start, an empty window, an output naming the input or a FIFO or socket, or an input whose
    /// container reports no duration. An <see cref="ArgumentException"/>, as a usage error is in .NET.
    /// </summary>
    public sealed class GifExportArgumentException : ArgumentException
    {
        /// <summary>Creates the exception with the library's meaning of code -1.</summary>
        public GifExportArgumentException()
            : base("The library refused the arguments: a bad path, a negative start, an empty window, an output " +
                   "naming the input (or a FIFO or socket), or an input whose container reports no duration.")
        {
        }

        /// <summary>Always -1.</summary>
        public int Code
        {
            get { return -1; }
        }
    }

    /// <summary>Both session slots are claimed by jobs not yet disposed (code -2).</summary>
    public sealed class GifExportSlotsBusyException : GifExportException
    {
        /// <summary>Creates the exception.</summary>
        public GifExportSlotsBusyException()
            : base(-2, "Both session slots are in use: dispose a job (an ended one too) before starting another.")
        {
        }
    }

    /// <summary>The input cannot be opened or analysed (code -3): missing, unreadable, not media, or not a regular file.</summary>
    public sealed class GifExportInputException : GifExportException
    {
        /// <summary>Creates the exception for the input path.</summary>
        public GifExportInputException(string inputPath)
            : base(-3, "The input cannot be opened or analysed: " + inputPath)
        {
            InputPath = inputPath;
        }

        /// <summary>The input path given to the start.</summary>
        public string InputPath { get; }
    }

    /// <summary>The job's thread cannot be started (code -4).</summary>
    public sealed class GifExportThreadException : GifExportException
    {
        /// <summary>Creates the exception.</summary>
        public GifExportThreadException() : base(-4, "The library could not start the job's thread.")
        {
        }
    }

    /// <summary>The input has no video stream (code -5).</summary>
    public sealed class GifExportNoVideoException : GifExportException
    {
        /// <summary>Creates the exception for the input path.</summary>
        public GifExportNoVideoException(string inputPath) : base(-5, "The input has no video stream: " + inputPath)
        {
            InputPath = inputPath;
        }

        /// <summary>The input path given to the start.</summary>
        public string InputPath { get; }
    }

    // The eight C functions, and nothing else. Paths go in as NUL-terminated UTF-8 byte
    // arrays (a string parameter would be sent in the ANSI code page on Windows); texts come
    // back as pointers into the library's buffers, copied at once by NativeText.Copy (a
    // string return type would make the marshaller free memory the library owns).
    internal static class NativeMethods
    {
        private const string Library = "velquart-gifexport";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr gifexport_probe(byte[] path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int gifexport_start(byte[] inPath, byte[] outPath, long startMs, long endMs, int width,
                                                   int fps);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int gifexport_status(int id);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr gifexport_progress(int id);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr gifexport_result(int id);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void gifexport_cancel(int id);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void gifexport_free(int id);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr gifexport_version();
    }

    // UTF-8 both ways, on every runtime (Marshal.PtrToStringUTF8 and LPUTF8Str are missing on
    // .NET Framework before 4.7 and on older Mono).
    internal static class NativeText
    {
        // Throws on a lone surrogate instead of writing U+FFFD, which would name another file.
        private static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        internal static byte[] PathBytes(string path, string parameterName)
        {
            if (path == null) throw new ArgumentNullException(parameterName);
            // The library would read up to the NUL: another file than the one named.
            if (path.IndexOf('\0') >= 0)
                throw new ArgumentException("The path holds a NUL character.", parameterName);
            try
            {
                var bytes = new byte[StrictUtf8.GetByteCount(path) + 1];
                StrictUtf8.GetBytes(path, 0, path.Length, bytes, 0);
                return bytes;
            }
            catch (EncoderFallbackException e)
            {
                throw new ArgumentException("The path holds a lone UTF-16 surrogate, which has no UTF-8 form.",
                                            parameterName, e);
            }
        }

        // Copies a NUL-terminated UTF-8 text the library owns (replaced by its next call).
        internal static string Copy(IntPtr text)
        {
            if (text == IntPtr.Zero) return string.Empty;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }

    // A strict reader of the library's reports: one JSON object whose members are strings,
    // numbers, true, false, null, objects or arrays. Anything else, a repeated key or text after
    // the object is a FormatException. Numbers are read in the invariant culture, whatever the
    // thread's culture.
    internal sealed class JsonObject
    {
        private const int MaxDepth = 16;
        private readonly Dictionary<string, object> _members = new Dictionary<string, object>();
        private readonly string _source;

        private JsonObject(string source)
        {
            _source = source;
        }

        internal static JsonObject Parse(string text)
        {
            if (text == null) throw new ArgumentNullException(nameof(text));
            var reader = new Reader(text);
            reader.SkipSpace();
            JsonObject o = reader.ReadObject(0);
            reader.SkipSpace();
            if (!reader.AtEnd) throw reader.Error("text after the object");
            return o;
        }

        // A job's report; the library's bad-id text, {"error":"bad id"}, has no state.
        internal static JsonObject ParseJobReport(string text)
        {
            JsonObject o = Parse(text);
            if (!o._members.ContainsKey("state")) throw new InvalidOperationException("The library reported: " + text);
            return o;
        }

        internal string GetString(string key)
        {
            return Get<string>(key, "a string");
        }

        internal bool GetBoolean(string key)
        {
            return Get<bool>(key, "true or false");
        }

        internal double GetDouble(string key)
        {
            return double.Parse(Get<Number>(key, "a number").Text, NumberStyles.Float, CultureInfo.InvariantCulture);
        }

        internal long GetInt64(string key)
        {
            string text = Get<Number>(key, "a number").Text;
            long value;
            if (!long.TryParse(text, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out value))
                throw Mismatch(key, "an integer");
            return value;
        }

        internal int GetInt32(string key)
        {
            long value = GetInt64(key);
            if (value < int.MinValue || value > int.MaxValue) throw Mismatch(key, "a 32-bit integer");
            return (int)value;
        }

        internal IEnumerable<JsonObject> GetObjects(string key)
        {
            var items = Get<List<object>>(key, "an array");
            foreach (object item in items)
            {
                var o = item as JsonObject;
                if (o == null) throw Mismatch(key, "an array of objects");
                yield return o;
            }
        }

        private T Get<T>(string key, string expected)
        {
            object value;
            if (!_members.TryGetValue(key, out value)) throw new FormatException("The library's report has no \"" + key + "\": " + _source);
            if (!(value is T)) throw Mismatch(key, expected);
            return (T)value;
        }

        private FormatException Mismatch(string key, string expected)
        {
            return new FormatException("\"" + key + "\" is not " + expected + " in the library's report: " + _source);
        }

        // A number keeps its text until a typed getter reads it.
        private sealed class Number
        {
            internal Number(string text)
            {
                Text = text;
            }

            internal string Text { get; }
        }

        private sealed class Reader
        {
            private readonly string _text;
            private int _pos;

            internal Reader(string text)
            {
                _text = text;
            }

            internal bool AtEnd
            {
                get { return _pos == _text.Length; }
            }

            internal FormatException Error(string what)
            {
                return new FormatException("Unreadable report from the library (" + what + " at offset " + _pos + "): " + _text);
            }

            internal void SkipSpace()
            {
                while (_pos < _text.Length && (_text[_pos] == ' ' || _text[_pos] == '\t' || _text[_pos] == '\n' || _text[_pos] == '\r'))
                    _pos++;
            }

            internal JsonObject ReadObject(int depth)
            {
                Expect('{');
                var o = new JsonObject(_text);
                SkipSpace();
                if (TryTake('}')) return o;
                do
                {
                    SkipSpace();
                    if (Peek() != '"') throw Error("a key expected");
                    string key = ReadString();
                    if (o._members.ContainsKey(key)) throw Error("a repeated key");
                    SkipSpace();
                    Expect(':');
                    o._members.Add(key, ReadValue(depth + 1));
                    SkipSpace();
                } while (TryTake(','));
                Expect('}');
                return o;
            }

            private object ReadValue(int depth)
            {
                if (depth > MaxDepth) throw Error("nesting too deep");
                SkipSpace();
                char c = Peek();
                if (c == '{') return ReadObject(depth);
                if (c == '[') return ReadArray(depth);
                if (c == '"') return ReadString();
                if (c == '-' || (c >= '0' && c <= '9')) return ReadNumber();
                if (TryWord("true")) return true;
                if (TryWord("false")) return false;
                if (TryWord("null")) return null;
                throw Error("a value expected");
            }

            private List<object> ReadArray(int depth)
            {
                Expect('[');
                var items = new List<object>();
                SkipSpace();
                if (TryTake(']')) return items;
                do
                {
                    items.Add(ReadValue(depth + 1));
                    SkipSpace();
                } while (TryTake(','));
                Expect(']');
                return items;
            }

            private Number ReadNumber()
            {
                int start = _pos;
                TryTake('-');
                if (TryTake('0'))
                {
                    // no leading zeros
                }
                else if (!TakeDigits())
                {
                    throw Error("a digit expected");
                }
                if (TryTake('.') && !TakeDigits()) throw Error("a digit expected after the point");
                if (TryTake('e') || TryTake('E'))
                {
                    if (!TryTake('+')) TryTake('-');
                    if (!TakeDigits()) throw Error("a digit expected in the exponent");
                }
                return new Number(_text.Substring(start, _pos - start));
            }

            private bool TakeDigits()
            {
                int start = _pos;
                while (_pos < _text.Length && _text[_pos] >= '0' && _text[_pos] <= '9') _pos++;
                return _pos > start;
            }

            private string ReadString()
            {
                Expect('"');
                var s = new StringBuilder();
                while (true)
                {
                    if (AtEnd) throw Error("an unterminated string");
                    char c = _text[_pos++];
                    if (c == '"') return s.ToString();
                    if (c < ' ') throw Error("a control character in a string");
                    if (c != '\\')
                    {
                        s.Append(c);
                        continue;
                    }
                    if (AtEnd) throw Error("an unterminated escape");
                    char e = _text[_pos++];
                    switch (e)
                    {
                        case '"': s.Append('"'); break;
                        case '\\': s.Append('\\'); break;
                        case '/': s.Append('/'); break;
                        case 'b': s.Append('\b'); break;
                        case 'f': s.Append('\f'); break;
                        case 'n': s.Append('\n'); break;
                        case 'r': s.Append('\r'); break;
                        case 't': s.Append('\t'); break;
                        case 'u': s.Append(ReadHex4()); break;
                        default: throw Error("an unknown escape");
                    }
                }
            }

            // A \u escape is one UTF-16 unit; a pair of them spells a surrogate pair, as in C#.
            private char ReadHex4()
            {
                if (_pos + 4 > _text.Length) throw Error("a short \\u escape");
                int value = 0;
                for (int i = 0; i < 4; i++)
                {
                    char h = _text[_pos++];
                    int digit = h >= '0' && h <= '9' ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                              : -1;
                    if (digit < 0) throw Error("a bad \\u escape");
                    value = value * 16 + digit;
                }
                return (char)value;
            }

            private char Peek()
            {
                if (AtEnd) throw Error("an unexpected end");
                return _text[_pos];
            }

            private void Expect(char c)
            {
                if (!TryTake(c)) throw Error("'" + c + "' expected");
            }

            private bool TryTake(char c)
            {
                if (_pos < _text.Length && _text[_pos] == c)
                {
                    _pos++;
                    return true;
                }
                return false;
            }

            private bool TryWord(string word)
            {
                if (string.CompareOrdinal(_text, _pos, word, 0, word.Length) != 0) return false;
                _pos += word.Length;
                return true;
            }
        }
    }
}
