#pragma once

#include "SliceModel.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

/**
 * A measuring shape on one slice, in voxel-centre coordinates of its view's slice: the
 * centre of slice pixel (u, v) at (u, v). A point has X1 = X0, Y1 = Y0.
 */
struct MeasureShape
{
    enum Kind
    {
        Line,
        Rect,
        Point
    } Shape = Line;
    /** Top = XY (u = x, v = y), Front = XZ (u = x, v = z), Side = ZY (u = z, v = y). */
    SlicePlane View = SlicePlane::Top;
    int Slice = 0; ///< the position of the view's plane (z, y or x), from 0
    double X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    bool operator==(const MeasureShape&) const = default;
};

/** One row of the measurements table: what a shape measured on one channel. */
struct MeasureRow
{
    static constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

    MeasureShape Shape;
    int Channel = 1, Frame = 1; ///< from 1
    /** In the file's units (or voxels); NaN where it does not apply. */
    double Length = NaN, Area = NaN;
    int64_t Count = 0;
    double Mean = NaN, Sd = NaN, Min = NaN, Max = NaN, Sum = NaN;
    bool Stack = false; ///< statistics through every slice of the view's plane
};

/** The name of a kind of shape in tables and files: "line", "rectangle", "point". */
constexpr std::string_view MeasureKindName(MeasureShape::Kind kind)
{
    switch (kind) {
    case MeasureShape::Rect:
        return "rectangle";
    case MeasureShape::Point:
        return "point";
    case MeasureShape::Line:
        break;
    }
    return "line";
}

/** The name of a view in tables and files: "XY", "XZ", "ZY". */
constexpr std::string_view MeasureViewName(SlicePlane view)
{
    switch (view) {
    case SlicePlane::Front:
        return "XZ";
    case SlicePlane::Side:
        return "ZY";
    case SlicePlane::Top:
        break;
    }
    return "XY";
}

/** The kind MeasureKindName gives `name` (exactly, case and all); none for another name. */
constexpr std::optional<MeasureShape::Kind> MeasureKindNamed(std::string_view name)
{
    for (const auto kind : {MeasureShape::Line, MeasureShape::Rect, MeasureShape::Point})
        if (MeasureKindName(kind) == name) return kind;
    return std::nullopt;
}

/** The view MeasureViewName gives `name` (exactly); none for another name. */
constexpr std::optional<SlicePlane> MeasureViewNamed(std::string_view name)
{
    for (const auto view : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side})
        if (MeasureViewName(view) == name) return view;
    return std::nullopt;
}
