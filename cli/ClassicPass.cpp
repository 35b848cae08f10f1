#include "ClassicPass.h"

#include "ByteVolume.h"
#include "CommandLine.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "StreamFigure.h"
#include "VolumeReader.h"
#include "imgkernel.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

/** Says `text` on standard error as "volinspect: TEXT". */
void Warn(const std::string& text)
{
    // After output that cannot be written, its message is the run's last word.
    if (!StandardOutput().Flush()) return; // keeps what was printed ahead of the message
    std::fprintf(stderr, "volinspect: %s\n", text.c_str());
}

} // namespace

ClassicPass::ClassicPass(ByteVolume& volume, std::vector<std::string> arguments, Hooks hooks)
    : volume_(volume), arguments_(std::move(arguments)), hooks_(std::move(hooks))
{
}

void ClassicPass::AllocateStartingVolume(ByteVolume& volume)
{
    volume.Allocate(100, 100, 30);
}

bool ClassicPass::Run()
{
    CommandLine::Actions act;
    act.Load = [this](const std::string& fileName) { Load(fileName); };
    act.EchoHighPeak = [this] { EchoHighPeak(); };
    // Every print is handed to the system at once, so that output that cannot be
    // written stops the pass at the option that printed it.
    act.Echo = [](const std::string& text) { StandardOutput().Write(text); };
    act.EchoNewLine = [] { StandardOutput().Write("\n"); };
    act.NotUsed = [this](size_t index, CommandLine::Unused why) {
        Warn(CommandLine::UnusedWarning(arguments_[index], why));
    };
    act.Stop = [] { return StandardOutput().Failed(); };
    return CommandLine::Walk(arguments_, act);
}

VolumeReadResult ClassicPass::StreamLoad(const std::string& fileName)
{
    std::unique_ptr<PlaneSource> source;
    VolumeReadResult read = OpenStackSource(fileName, source);
    if (!read.Loaded()) return read;
    const StreamedFigure figure = StreamHighFrequencyFigure(*source, 0, 0, ProcessorCores());
    if (!figure.Failure.empty()) {
        read.Code = figure.ReadFailed ? ByteVolume::LoadReadFailed : ByteVolume::LoadFailed;
        read.Message = figure.Failure;
        return read;
    }
    const StackLayout& layout = source->Layout();
    read.Message = LoadWarning(figure.Warning, layout, read.Message);
    streamed_.Loaded = true;
    streamed_.Figure = figure.Figure;
    streamed_.Size[0] = layout.SizeX, streamed_.Size[1] = layout.SizeY;
    streamed_.Size[2] = layout.SizeZ;
    return read;
}

void ClassicPass::Load(const std::string& fileName)
{
    anyLoadTried_ = true;
    lastLoadName_ = fileName;
    VolumeReadResult read;
    const auto load = [&] {
        if (streamLoads_) {
            // A failed load leaves the last volume as it was.
            const Streamed before = streamed_;
            read = StreamLoad(fileName);
            if (!read.Loaded()) streamed_ = before;
        } else {
            read = ReadVolume(fileName, volume_);
        }
    };
    if (hooks_.WhileLoading)
        hooks_.WhileLoading(load);
    else
        load();
    if (!read.Loaded()) {
        Warn("cannot load " + InQuotes(fileName) + ": " + QuoteBytes(read.Message));
        lastLoadFailed_ = anyLoadFailed_ = true;
        if (hooks_.LoadFailed) hooks_.LoadFailed(fileName, read.Message);
        return;
    }
    if (!read.Message.empty())
        Warn("warning: " + InQuotes(fileName) + ": " + QuoteBytes(read.Message));
    lastLoadFailed_ = false;
    if (hooks_.Loaded) hooks_.Loaded(fileName, read.Message);
}

void ClassicPass::EchoHighPeak()
{
    if (!anyLoadTried_)
        Warn("-echohighpeak before any -load: the figure is that of the empty starting "
             "volume (" +
             std::to_string(volume_.SizeX) + " x " + std::to_string(volume_.SizeY) + " x " +
             std::to_string(volume_.SizeZ) + ")");
    // Without a window nobody sees the curve: the figure alone needs only the lags 1 to
    // 5, and comes out the same to the last bit.
    const Figure computed =
        streamed_.Loaded  ? Figure{streamed_.Figure, false}
        : hooks_.Spectrum ? hooks_.Spectrum()
                          : Figure{ComputeHighFrequencyFigure(volume_, ProcessorCores()), false};
    // After a failed load the figure is that of no file: nan until the next good one.
    const float figure = lastLoadFailed_ ? std::numeric_limits<float>::quiet_NaN() : computed.Value;
    if (!StandardOutput().Write(FormatFigure(figure)) || !std::isnan(figure)) return;
    nanPrinted_ = true;
    if (lastLoadFailed_) return; // the failed load has said why
    if (computed.Cancelled)
        Warn("the spectrum of " + InQuotes(lastLoadName_) + " was cancelled; its figure is nan");
    else
        Warn(streamed_.Loaded
                 ? NoFigureReason(lastLoadName_, streamed_.Size[0], streamed_.Size[1],
                                  streamed_.Size[2])
                 : NoFigureReason(lastLoadName_, volume_.SizeX, volume_.SizeY, volume_.SizeZ));
}

int RunClassicBatch(const std::vector<std::string>& arguments)
{
    // The window's framework takes the locale from the environment as it starts; so does
    // the batch, so that system messages (why a file cannot be read) come in the same
    // language either way. Figures are printed in the C locale regardless.
    std::setlocale(LC_ALL, "");
    try {
        ByteVolume volume;
        ClassicPass::AllocateStartingVolume(volume);
        ClassicPass pass(volume, arguments);
        pass.StreamLoads();
        pass.Run();
        return pass.ExitCode();
    } catch (...) {
        // What the window's run shows in its exception display, said where a run
        // without a window can say it.
        const std::string reason = DescribeCurrentException();
        Warn(reason.empty() ? std::string("the run was ended by an unknown error")
                            : QuoteBytes(reason));
        return 1;
    }
}
