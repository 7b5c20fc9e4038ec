#!/usr/bin/python3
"""Renders a velmora-field slice: pressure on the plane, streamlines of the
velocity in it and the body's surface, to a PNG (VTK offscreen).

    render_field.py RUN_DIR SLICE.vti OUT.png [PMAX [UX,UY,UZ]]

RUN_DIR holds output.vtu of velmora-post (the surface); the slice is the
ImageData of velmora-field --plane; PMAX (default 3) bounds the colour scale
of the pressure, which grows without bound at the surface's edges; the
streamlines follow u - U, the flow seen from a frame moving with U (default
0: the fluid at rest at infinity), seeded on a line across the plane at the
end the relative flow comes from.
"""
import os
import sys

import vtk


def main():
    run, slice_path, out = sys.argv[1], sys.argv[2], sys.argv[3]
    pmax = float(sys.argv[4]) if len(sys.argv) > 4 else 3.0
    frame = [float(v) for v in sys.argv[5].split(",")] if len(sys.argv) > 5 else [0.0, 0.0, 0.0]

    reader = vtk.vtkXMLImageDataReader()
    reader.SetFileName(slice_path)
    reader.Update()
    grid = reader.GetOutput()
    grid.GetPointData().SetActiveVectors("velocity")
    grid.GetPointData().SetActiveScalars("pressure")

    # Pressure on the plane, points inside the body left out.
    keep = vtk.vtkThreshold()
    keep.SetInputData(grid)
    keep.SetInputArrayToProcess(0, 0, 0, vtk.vtkDataObject.FIELD_ASSOCIATION_POINTS, "inside")
    keep.SetLowerThreshold(-0.5)
    keep.SetUpperThreshold(0.5)
    keep.SetThresholdFunction(vtk.vtkThreshold.THRESHOLD_BETWEEN)
    keep.SetAllScalars(True)
    lut = vtk.vtkColorTransferFunction()
    lut.SetColorSpaceToDiverging()
    lut.AddRGBPoint(-pmax, 0.23, 0.30, 0.75)
    lut.AddRGBPoint(0.0, 0.87, 0.87, 0.87)
    lut.AddRGBPoint(pmax, 0.71, 0.02, 0.15)
    plane_map = vtk.vtkDataSetMapper()
    plane_map.SetInputConnection(keep.GetOutputPort())
    plane_map.SetScalarModeToUsePointFieldData()
    plane_map.SelectColorArray("pressure")
    plane_map.SetLookupTable(lut)
    plane_map.SetScalarRange(-pmax, pmax)
    plane_actor = vtk.vtkActor()
    plane_actor.SetMapper(plane_map)

    # Streamlines of u - U from a line of seeds across the plane (x = const,
    # at the upstream end of the relative flow), both directions.
    rel = vtk.vtkArrayCalculator()
    rel.SetInputData(grid)
    rel.SetAttributeTypeToPointData()
    rel.AddVectorArrayName("velocity")
    rel.SetFunction("velocity - (%r*iHat + %r*jHat + %r*kHat)" % tuple(frame))
    rel.SetResultArrayName("relative")
    rel.Update()
    b = grid.GetBounds()
    x0 = b[1] - 0.02 * (b[1] - b[0]) if frame[0] > 0 else b[0] + 0.02 * (b[1] - b[0])
    seeds = vtk.vtkLineSource()
    seeds.SetPoint1(x0, b[2] + 0.02 * (b[3] - b[2]), 0.5 * (b[4] + b[5]))
    seeds.SetPoint2(x0, b[3] - 0.02 * (b[3] - b[2]), 0.5 * (b[4] + b[5]))
    seeds.SetResolution(40)
    tracer = vtk.vtkStreamTracer()
    tracer.SetInputConnection(rel.GetOutputPort())
    tracer.SetSourceConnection(seeds.GetOutputPort())
    tracer.SetInputArrayToProcess(0, 0, 0, vtk.vtkDataObject.FIELD_ASSOCIATION_POINTS, "relative")
    tracer.SetIntegratorTypeToRungeKutta45()
    tracer.SetIntegrationDirectionToBoth()
    tracer.SetMaximumPropagation(40.0)
    tracer.SetInitialIntegrationStep(0.2)
    tracer.SetMaximumNumberOfSteps(4000)
    line_map = vtk.vtkPolyDataMapper()
    line_map.SetInputConnection(tracer.GetOutputPort())
    line_map.ScalarVisibilityOff()
    line_actor = vtk.vtkActor()
    line_actor.SetMapper(line_map)
    line_actor.GetProperty().SetColor(0.05, 0.05, 0.05)
    line_actor.GetProperty().SetLineWidth(1.5)

    # The body.
    surf = vtk.vtkXMLUnstructuredGridReader()
    surf.SetFileName(os.path.join(run, "output.vtu"))
    body_map = vtk.vtkDataSetMapper()
    body_map.SetInputConnection(surf.GetOutputPort())
    body_map.ScalarVisibilityOff()
    body_actor = vtk.vtkActor()
    body_actor.SetMapper(body_map)
    body_actor.GetProperty().SetColor(0.75, 0.75, 0.72)

    bar = vtk.vtkScalarBarActor()
    bar.SetLookupTable(lut)
    bar.SetTitle("pressure")
    bar.SetNumberOfLabels(5)
    bar.SetWidth(0.08)
    bar.SetHeight(0.6)
    bar.SetPosition(0.9, 0.2)
    bar.GetTitleTextProperty().SetColor(0, 0, 0)
    bar.GetLabelTextProperty().SetColor(0, 0, 0)

    ren = vtk.vtkRenderer()
    ren.SetBackground(1, 1, 1)
    for a in (plane_actor, line_actor, body_actor):
        ren.AddActor(a)
    ren.AddActor2D(bar)
    win = vtk.vtkRenderWindow()
    win.SetOffScreenRendering(1)
    win.SetSize(1200, 800)
    win.AddRenderer(ren)
    cam = ren.GetActiveCamera()
    cx, cy = 0.5 * (b[0] + b[1]), 0.5 * (b[2] + b[3])
    cam.SetFocalPoint(cx + 0.35, cy, 0)
    cam.SetPosition(cx + 0.35, cy, 10)
    cam.SetViewUp(0, 1, 0)
    cam.SetParallelProjection(1)
    cam.SetParallelScale(0.52 * (b[3] - b[2]))
    win.Render()
    grab = vtk.vtkWindowToImageFilter()
    grab.SetInput(win)
    grab.Update()
    png = vtk.vtkPNGWriter()
    png.SetFileName(out)
    png.SetInputConnection(grab.GetOutputPort())
    png.Write()


if __name__ == "__main__":
    main()
