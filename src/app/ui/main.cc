// Entry point of the GUI program.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QMainWindow window;
  window.setObjectName("FormMain");
  window.setWindowTitle("Quillomar ZIP Backup  V1.50");
  window.resize(640, 480);
  window.show();
  return app.exec();
}
