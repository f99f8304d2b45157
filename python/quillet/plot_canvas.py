"""The figure and the panels that every picture of quillet.plot is drawn on.

matplotlib is imported when a figure is made, and figures are drawn on the
Agg canvas directly: no window, no pyplot state.
"""


def new_figure(width, height):
    from matplotlib.figure import Figure
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def save_figure(fig, path, dpi, metadata=None):
    fig.savefig(path, dpi=dpi, metadata=metadata)
    return str(path)


def panel_grid(fig, npanel, ncol):
    """Axes pairs (I/F above, relative error below) for npanel panels."""
    nrow = (npanel + ncol - 1) // ncol
    outer = fig.add_gridspec(nrow, ncol)
    pairs = []
    for i in range(nrow * ncol):
        inner = outer[i // ncol, i % ncol].subgridspec(2, 1, height_ratios=(3, 1), hspace=0.05)
        top = fig.add_subplot(inner[0])
        bottom = fig.add_subplot(inner[1], sharex=top)
        top.tick_params(labelbottom=False)
        pairs.append((top, bottom))
    return pairs


def relative_error_axis(ax):
    ax.set_xlabel("phase angle (deg)")
    ax.set_ylabel("s.e. / I/F (%)", fontsize=8)
    ax.set_ylim(bottom=0.0)
    ax.grid(alpha=0.3)
    ax.tick_params(labelsize=8)
