function post_install(desc)
% Run by pkg install (as post_install.m of the quillmere package). Octave
% shows the help of the M-file beside a compiled module only, and pkg puts
% modules in a folder of their own: copy each module's help file there.
modules = dir(fullfile(desc.archprefix, '*', '*.oct'));
for i = 1:numel(modules)
  [~, name] = fileparts(modules(i).name);
  helpFile = fullfile(desc.dir, [name, '.m']);
  if exist(helpFile, 'file')
    copyfile(helpFile, modules(i).folder);
  end
end
end
