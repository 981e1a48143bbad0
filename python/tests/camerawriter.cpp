// The tests' camera-file writer (tests/support) for the Python tests: the same bytes as the C++
// tests build, the pixel values given by Python functions.
#include "support/camerawriter.h"
#include "support/expectedimage.h"
#include "support/fitswrite.h"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
using namespace testsupport;

PYBIND11_MODULE(camerawriter, module)
{
    // Every writer call returns the writer itself, so that Python chains them as C++ does.
    constexpr auto chained = py::return_value_policy::reference_internal;
    py::class_<FrameGeometry>(module, "FrameGeometry")
        .def(py::init<int, int, int, int, int>(), py::arg("init_x"), py::arg("init_y"), py::arg("end_x"),
             py::arg("end_y"), py::arg("fin_x"))
        .def_readwrite("fin_x", &FrameGeometry::finX);
    module.def("geometry_of", &geometryOf, py::arg("naxis1"), py::arg("naxis2"), py::arg("block_columns") = 0);

    py::class_<ClockTime>(module, "ClockTime")
        .def(py::init<int, int, int, int>(), py::arg("hours"), py::arg("minutes"), py::arg("seconds"),
             py::arg("hundredths"));

    py::class_<CameraWriter>(module, "CameraWriter")
        .def(py::init<>())
        .def("copy", [](const CameraWriter& writer) { return CameraWriter(writer); })
        .def("record", &CameraWriter::record, py::arg("flag"), py::arg("values") = std::vector<double>{}, chained)
        .def("string_record", &CameraWriter::stringRecord, chained)
        .def("byte", &CameraWriter::byte, chained)
        .def("flag", &CameraWriter::flag, chained)
        .def("int16", &CameraWriter::int16, chained)
        .def("int32", &CameraWriter::int32, chained)
        .def("sample_mode", &CameraWriter::sampleMode, chained)
        .def("fill", &CameraWriter::fill, py::arg("count"), py::arg("value") = 0, chained)
        .def("telescope_scale", &CameraWriter::telescopeScale, chained)
        .def("magnification", &CameraWriter::magnification, chained)
        .def("wavelength", &CameraWriter::wavelength, chained)
        .def("total_coadds", &CameraWriter::totalCoadds, chained)
        .def("object", &CameraWriter::object, chained)
        .def("telescope", &CameraWriter::telescope, chained)
        .def("date_time", &CameraWriter::dateTime, chained)
        .def("ra_dec", &CameraWriter::raDec, chained)
        .def("obsmode", &CameraWriter::obsmode, chained)
        .def("frames_per_coimage", &CameraWriter::framesPerCoimage, chained)
        .def("offsets", &CameraWriter::offsets, chained)
        .def("chop_wait", &CameraWriter::chopWait, chained)
        .def("site", &CameraWriter::site, chained)
        .def("packed", &CameraWriter::packed, chained)
        .def("orientation", &CameraWriter::orientation, chained)
        .def("time_obs", &CameraWriter::timeObs, chained)
        .def("header_size", &CameraWriter::headerSize, chained)
        .def("time_end", &CameraWriter::timeEnd, chained)
        .def("beam_coadds", &CameraWriter::beamCoadds, chained)
        .def("ultrafast", &CameraWriter::ultrafast, chained)
        .def("corners", &CameraWriter::corners, chained)
        .def("end_marker", &CameraWriter::endMarker, chained)
        .def("pad_to", &CameraWriter::padTo, chained)
        .def("frames", &CameraWriter::frames, py::arg("geometry"), py::arg("count"), py::arg("value"),
             py::arg("fill_byte") = 0, chained)
        .def("packed_data", &CameraWriter::packedData, chained)
        // Values computed here, for files too large for a Python function per pixel.
        .def(
            "packed_pattern",
            [](CameraWriter& writer, const FrameGeometry& g, int obsmode, int count) -> CameraWriter& {
                return writer.packedData(
                    g, obsmode, count, [](int image, int beam, int x, int y) { return image * 31 + beam * 7 + x - y; });
            },
            chained)
        .def("ultrafast_data", &CameraWriter::ultrafastData, chained)
        .def("trailer", &CameraWriter::trailer, chained)
        .def("truncate", &CameraWriter::truncate, chained)
        .def("__len__", &CameraWriter::size)
        .def("bytes",
             [](const CameraWriter& writer) {
                 return py::bytes(reinterpret_cast<const char*>(writer.bytes().data()), writer.size());
             })
        .def("save", [](const CameraWriter& writer, const std::string& path) { writer.save(path); });

    module.def("observation_header", &observationHeader, py::arg("nx"), py::arg("ny"), py::arg("obsmode") = 1,
               py::arg("coadds") = 1);
    module.def(
        "save_observation",
        [](const CameraWriter& header, const std::string& path, int nx, int ny, int frameCount,
           const FramePixel& frame) { saveObservation(header, path, nx, ny, frameCount, frame); },
        py::arg("header"), py::arg("path"), py::arg("nx"), py::arg("ny"), py::arg("frame_count"), py::arg("frame"));
    module.def("distinct", &distinct);
    module.def(
        "write_fits_file",
        [](const std::string& path, const std::vector<std::string>& cards, int bitpix, int naxis1, int naxis2,
           const std::function<double(int, int)>& value) { writeFitsFile(path, cards, bitpix, naxis1, naxis2, value); },
        py::arg("path"), py::arg("cards"), py::arg("bitpix"), py::arg("naxis1"), py::arg("naxis2"), py::arg("value"));
    module.def("primary_cards", &primaryCards);
    module.def("value_card", &valueCard);
    module.def("fits_card", &fitsCard);
}
